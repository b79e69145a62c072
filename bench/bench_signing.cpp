// The overhead of signing through the control over bare OpenSSL:
// - the SignData getter (provider context, "MY" store of 100 certificates, signer search, key
//   container, MD5, RSA-2048) beside one RSA-2048 MD5 signature of the same text;
// - SignFile on a 256 MiB file beside OpenSSL's MD5 over the same bytes, in memory and read
//   from the file in the same pieces.
// - the SignData getter with its key sealed beside the same key kept plain, as before keys
//   were sealed, from the key cache and on first use;
// After the runs it prints each operation's time over its baseline's.
#include <benchmark/benchmark.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "bench/ratio_reporter.h"
#include "certs/context.h"
#include "certs/find.h"
#include "certs/properties.h"
#include "signing/signing.h"
#include "platform/base/sqlite.h"
#include "platform/crypt/owners.h"
#include "tests/support/pki.h"

namespace {

using velmor::testing::TempDataHome;
using velmor::testing::TestCert;

constexpr std::size_t kFileSize = std::size_t{256} * 1024 * 1024;
constexpr std::size_t kPieceSize = std::size_t{256} * 1024;
constexpr int kStoreCertificates = 100;
constexpr const char* kText = "pay 100.00 EUR to account 12345678~!~ref 2026-12-07";


// World: one private data directory with 99 other certificates and the signer in "MY". Made
// once, on first use.
struct World {
  TempDataHome home;
  TestCert signer;
  velmor::platform::UniquePtr<EVP_PKEY> key;

  World() {
    velmor::ClearModuleBuffers();
    for (int i = 1; i < kStoreCertificates; ++i) {
      velmor::testing::CertSpec spec;
      spec.subject = "/CN=Other " + std::to_string(i) + "/OU=QVA/O=Tarnvik Bank";
      spec.bits = 2048;
      velmor::testing::AddToStore("MY", velmor::testing::MakeCert(spec));
    }
    velmor::testing::CertSpec spec;
    spec.bits = 2048;
    signer = velmor::testing::MakeCert(spec);
    velmor::testing::ImportWithKey("MY", signer);

    velmor::platform::UniquePtr<BIO> pem(BIO_new_mem_buf(
        signer.key.privatePem.data(), static_cast<int>(signer.key.privatePem.size())));
    key.reset(PEM_read_bio_PrivateKey(pem.get(), nullptr, nullptr, nullptr));
  }
};

World& TheWorld() {
  static World world;
  return world;
}

// LargeFile: the 256 MiB file in the world's directory and its bytes in memory. Made only when a
// file benchmark runs.
struct LargeFile {
  std::filesystem::path path;
  std::vector<std::uint8_t> bytes;

  LargeFile() : path(TheWorld().home.path() / "large.bin"), bytes(kFileSize) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 131 + (i >> 13));
    }
    velmor::testing::WriteFile(path, bytes);
  }
};

LargeFile& TheFile() {
  static LargeFile file;
  return file;
}

void SelectSigner(velmor::CtrlState& state) {
  const World& world = TheWorld();
  char lengths[8];
  std::snprintf(lengths, sizeof lengths, "%02zu", world.signer.serialHex.size());
  const std::string cn = "08CN=Alice" + std::string(lengths) + world.signer.serialHex;
  velmor::SetCN(state, cn.c_str());
}

void BM_SignDataGetter(benchmark::State& run) {
  velmor::CtrlState state;
  SelectSigner(state);
  velmor::SetSignData(state, kText);
  for (auto _ : run) {
    std::string result = velmor::GetSignData(state);
    if (result.rfind("A:", 0) != 0) run.SkipWithError(result.c_str());
    benchmark::DoNotOptimize(result);
  }
}

// PlainWorld: the same kind of store with its signer's key as stores kept keys before they were
// sealed: the plain DER in the key row and no master key. It is used with a key storage that
// cannot be had (the Secret Service on a bus that does not exist), so that no open seals it.
struct PlainWorld {
  TestCert signer = TheWorld().signer;  // the same key (and the world made first): only the
                                        // form of its row differs
  TempDataHome home;

  PlainWorld() {
    for (int i = 1; i < kStoreCertificates; ++i) {
      velmor::testing::CertSpec spec;
      spec.subject = "/CN=Other " + std::to_string(i) + "/OU=QVA/O=Tarnvik Bank";
      spec.bits = 2048;
      velmor::testing::AddToStore("MY", velmor::testing::MakeCert(spec));
    }
    velmor::testing::ImportWithKey("MY", signer);
    velmor::platform::UniquePtr<BIO> pem(BIO_new_mem_buf(
        signer.key.privatePem.data(), static_cast<int>(signer.key.privatePem.size())));
    velmor::platform::UniquePtr<EVP_PKEY> key(PEM_read_bio_PrivateKey(pem.get(), nullptr, nullptr, nullptr));
    unsigned char* raw = nullptr;
    const int n = i2d_PrivateKey(key.get(), &raw);
    velmor::platform::OpenSslSecret der(raw, {n > 0 ? static_cast<std::size_t>(n) : 0});
    sqlite3* db = nullptr;
    sqlite3_open((home.path() / "velmor" / "store.db").c_str(), &db);
    velmor::platform::UniquePtr<sqlite3> owned(db);
    sqlite3_stmt* update = nullptr;
    sqlite3_prepare_v2(db, "UPDATE keys SET der = ?", -1, &update, nullptr);
    velmor::platform::UniquePtr<sqlite3_stmt> statement(update);
    sqlite3_bind_blob(update, 1, der.get(), n, SQLITE_STATIC);
    if (n <= 0 || sqlite3_step(update) != SQLITE_DONE ||
        sqlite3_exec(db, "DELETE FROM seal", nullptr, nullptr, nullptr) != SQLITE_OK) {
      std::fprintf(stderr, "cannot make the plain store\n");
    }
    std::filesystem::remove(home.path() / "velmor" / "master.key");
    velmor::crypt::DropCaches();
  }
};

PlainWorld& ThePlainWorld() {
  static PlainWorld world;
  return world;
}

// Use: points this process at the world's store; the plain one with a master key that cannot
// be had, the sealed one with its file.
void Use(const TempDataHome& home, bool plain) {
  setenv("XDG_DATA_HOME", home.path().c_str(), 1);
  setenv("VELMOR_KEY_STORAGE", plain ? "keyring" : "file", 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
}

// The SignData getter with the key sealed (arg 1) or plain (arg 0), from the key cache (the
// usual case: every call after the first) or read and opened anew each time (`firstUse`).
void SignDataGetterKeyForm(benchmark::State& run, bool firstUse) {
  const bool sealed = run.range(0) != 0;
  if (sealed) {
    Use(TheWorld().home, false);
  } else {
    Use(ThePlainWorld().home, true);
  }
  velmor::CtrlState state;
  SelectSigner(state);
  velmor::SetSignData(state, kText);
  for (auto _ : run) {
    if (firstUse) velmor::crypt::DropCaches();
    std::string result = velmor::GetSignData(state);
    if (result.rfind("A:", 0) != 0) run.SkipWithError(result.c_str());
    benchmark::DoNotOptimize(result);
  }
  run.SetLabel(sealed ? "sealed" : "plain");
  Use(TheWorld().home, false);
}
void BM_SignDataGetterKeyForm(benchmark::State& run) { SignDataGetterKeyForm(run, false); }
void BM_SignDataGetterKeyFormFirstUse(benchmark::State& run) { SignDataGetterKeyForm(run, true); }

// BareSignature: one RSA-2048 PKCS #1 v1.5 signature over the MD5 of `text` with the signer's
// key, straight through OpenSSL. False when OpenSSL fails.
bool BareSignature(const std::string& text, std::vector<unsigned char>& signature) {
  velmor::platform::UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  std::size_t length = signature.size();
  return ctx &&
         EVP_DigestSignInit(ctx.get(), nullptr, EVP_md5(), nullptr, TheWorld().key.get()) == 1 &&
         EVP_DigestSign(ctx.get(), signature.data(), &length,
                        reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
}

void BM_BareRsa2048Md5(benchmark::State& run) {
  velmor::CtrlState state;
  velmor::SetSignData(state, kText);  // the same laid-out bytes the getter signs
  const std::string text = velmor::g_szSignData;
  std::vector<unsigned char> signature(512);
  for (auto _ : run) {
    if (!BareSignature(text, signature)) run.SkipWithError("OpenSSL signing failed");
    benchmark::DoNotOptimize(signature.data());
  }
}

// The getter and the bare signature taken in turns within one loop, so that both see the same
// machine: on a shared machine separate runs drift apart by more than the overhead measured.
// The counters give each one's mean time and their ratio.
void BM_SignDataGetterOverBareInTurns(benchmark::State& run) {
  velmor::CtrlState state;
  SelectSigner(state);
  velmor::SetSignData(state, kText);
  const std::string text = velmor::g_szSignData;
  std::vector<unsigned char> signature(512);
  using Clock = std::chrono::steady_clock;
  Clock::duration getter{};
  Clock::duration bare{};
  for (auto _ : run) {
    const auto start = Clock::now();
    std::string result = velmor::GetSignData(state);
    const auto middle = Clock::now();
    const bool signedBare = BareSignature(text, signature);
    const auto end = Clock::now();
    if (result.rfind("A:", 0) != 0 || !signedBare) run.SkipWithError("signing failed");
    benchmark::DoNotOptimize(result);
    getter += middle - start;
    bare += end - middle;
  }
  const double getterUs = std::chrono::duration<double, std::micro>(getter).count();
  const double bareUs = std::chrono::duration<double, std::micro>(bare).count();
  const auto n = static_cast<double>(run.iterations());
  run.counters["getter_us"] = getterUs / n;
  run.counters["bare_us"] = bareUs / n;
  run.counters["ratio"] = bareUs > 0 ? getterUs / bareUs : 0;
}

void BM_SignFile256MiB(benchmark::State& run) {
  const LargeFile& large = TheFile();
  velmor::CtrlState state;
  SelectSigner(state);
  velmor::SetSignFile(state, large.path.string().c_str());
  for (auto _ : run) {
    std::string result = velmor::GetSignFile(state);
    if (result.rfind("F:", 0) != 0) run.SkipWithError(result.c_str());
    benchmark::DoNotOptimize(result);
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations()) *
                        static_cast<std::int64_t>(kFileSize));
}

void BM_OpensslMd5InMemory256MiB(benchmark::State& run) {
  const LargeFile& large = TheFile();
  unsigned char digest[EVP_MAX_MD_SIZE];
  for (auto _ : run) {
    unsigned int length = 0;
    EVP_Digest(large.bytes.data(), large.bytes.size(), digest, &length, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations()) *
                        static_cast<std::int64_t>(kFileSize));
}

void BM_OpensslMd5FromFile256MiB(benchmark::State& run) {
  const LargeFile& large = TheFile();
  std::vector<unsigned char> piece(kPieceSize);
  unsigned char digest[EVP_MAX_MD_SIZE];
  for (auto _ : run) {
    velmor::UniqueFile file(std::fopen(large.path.string().c_str(), "rb"));
    velmor::platform::UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr);
    std::size_t got = 0;
    while ((got = std::fread(piece.data(), 1, piece.size(), file.get())) > 0) {
      EVP_DigestUpdate(ctx.get(), piece.data(), got);
    }
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
    benchmark::DoNotOptimize(digest);
  }
  run.SetBytesProcessed(static_cast<std::int64_t>(run.iterations()) *
                        static_cast<std::int64_t>(kFileSize));
}

// The SignData getter's steps one by one, through the platform calls it makes, to show where
// its time over the bare signature goes.
void BM_StepProviderContext(benchmark::State& run) {
  TheWorld();
  for (auto _ : run) {
    HCRYPTPROV prov = 0;
    if (velmor::AcquireProviderContext(&prov) == 0) run.SkipWithError("no provider context");
    CryptReleaseContext(prov, 0);
  }
}

void BM_StepOpenStoreAndFindSigner(benchmark::State& run) {
  velmor::CtrlState state;
  SelectSigner(state);
  HCRYPTPROV prov = 0;
  velmor::AcquireProviderContext(&prov);
  for (auto _ : run) {
    HCERTSTORE store = CertOpenSystemStoreA(prov, "MY");
    PCCERT_CONTEXT cert = velmor::getMySignerCert(store, velmor::ModuleInputs().CN());
    if (cert == nullptr) run.SkipWithError("no signer");
    CertFreeCertificateContext(cert);
    CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG);
  }
  CryptReleaseContext(prov, 0);
}

// KeyContainerOf: the container and provider names of the signer's key-provider property.
std::pair<std::string, std::string> KeyContainerOf(const TestCert& cert) {
  PCCERT_CONTEXT context = nullptr;
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c)) {
    if (velmor::SerialHex(c) == cert.serialHex) {
      context = CertDuplicateCertificateContext(c);
      CertFreeCertificateContext(c);
      break;
    }
  }
  std::pair<std::string, std::string> names;
  DWORD size = 0;
  if (context != nullptr &&
      CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
    std::vector<BYTE> buffer(size);
    CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size);
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    for (const WCHAR* w = info->pwszContainerName; w != nullptr && *w != 0; ++w) {
      names.first.push_back(static_cast<char>(*w));
    }
    for (const WCHAR* w = info->pwszProvName; w != nullptr && *w != 0; ++w) {
      names.second.push_back(static_cast<char>(*w));
    }
  }
  CertFreeCertificateContext(context);
  CertCloseStore(store, 0);
  return names;
}

void BM_StepKeyContainer(benchmark::State& run) {
  const auto [container, provider] = KeyContainerOf(TheWorld().signer);
  for (auto _ : run) {
    HCRYPTPROV key = 0;
    if (!CryptAcquireContextA(&key, container.c_str(), provider.c_str(), PROV_RSA_FULL, 0)) {
      run.SkipWithError("no key container");
    }
    CryptReleaseContext(key, 0);
  }
}

void BM_StepHashAndSign(benchmark::State& run) {
  const auto [container, provider] = KeyContainerOf(TheWorld().signer);
  HCRYPTPROV key = 0;
  CryptAcquireContextA(&key, container.c_str(), provider.c_str(), PROV_RSA_FULL, 0);
  velmor::CtrlState state;
  velmor::SetSignData(state, kText);
  const std::string text = velmor::g_szSignData;
  std::vector<BYTE> signature(512);
  for (auto _ : run) {
    HCRYPTHASH hash = 0;
    CryptCreateHash(key, CALG_MD5, 0, 0, &hash);
    CryptHashData(hash, reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()),
                  0);
    DWORD length = 0;
    CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &length);
    if (!CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &length)) {
      run.SkipWithError("signing failed");
    }
    CryptDestroyHash(hash);
  }
  CryptReleaseContext(key, 0);
}

// ---- Verification and the PKCS #7 message ----------------------------------------------------

// Signed: the SignData text's raw signature and PKCS #7 message from the control, with the
// signer certificate in "CA" named by IssuerCN, so that VerifyPKCS7 finds its issuer.
struct Signed {
  std::string text;
  std::vector<unsigned char> signature;  // most significant byte first
  std::string signatureHex;
  std::string certificate;  // Base64 DER, one line
  std::string message;      // Base64 as PKCS7Data gives it
  std::vector<unsigned char> messageDer;

  Signed() {
    velmor::CtrlState state;
    SelectSigner(state);
    velmor::SetSignData(state, kText);
    text = velmor::g_szSignData;
    signatureHex = velmor::GetSignature(state).substr(10);
    for (std::size_t i = 0; i + 1 < signatureHex.size(); i += 2) {
      signature.push_back(static_cast<unsigned char>(std::stoi(signatureHex.substr(i, 2), nullptr, 16)));
    }
    certificate = velmor::testing::CertBase64(TheWorld().signer);
    message = velmor::PKCS7Data(state);
    std::string compact;
    for (char c : message) {
      if (c != '\n') compact.push_back(c);
    }
    messageDer.resize(compact.size());
    const int n = EVP_DecodeBlock(messageDer.data(), reinterpret_cast<const unsigned char*>(compact.data()),
                                  static_cast<int>(compact.size()));
    messageDer.resize(static_cast<std::size_t>(n) - (compact.size() - compact.find_last_not_of('=') - 1));
    velmor::testing::AddToStore("CA", TheWorld().signer);
    velmor::SetIssuerCN(state, TheWorld().signer.serialHex.c_str());
  }
};

Signed& TheSigned() {
  static Signed s;
  return s;
}

void BM_VerifySignature(benchmark::State& run) {
  const Signed& s = TheSigned();
  velmor::CtrlState state;
  for (auto _ : run) {
    std::string result =
        velmor::VerifySignature(state, s.text.c_str(), s.signatureHex.c_str(), s.certificate.c_str());
    if (result != "A:0000") run.SkipWithError(result.c_str());
  }
}

// BM_BareVerify: what any verifier handed the certificate does: parse it and verify the MD5
// signature with its key.
void BM_BareVerify(benchmark::State& run) {
  const Signed& s = TheSigned();
  const std::vector<std::uint8_t>& der = TheWorld().signer.der;
  for (auto _ : run) {
    const unsigned char* p = der.data();
    velmor::platform::UniquePtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    velmor::platform::UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    const bool ok = cert && ctx &&
                    EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_md5(), nullptr,
                                         X509_get0_pubkey(cert.get())) == 1 &&
                    EVP_DigestVerify(ctx.get(), s.signature.data(), s.signature.size(),
                                     reinterpret_cast<const unsigned char*>(s.text.data()),
                                     s.text.size()) == 1;
    if (!ok) run.SkipWithError("bare verification failed");
  }
}

void BM_VerifyPKCS7(benchmark::State& run) {
  const Signed& s = TheSigned();
  velmor::CtrlState state;
  for (auto _ : run) {
    std::string result = velmor::VerifyPKCS7(state, s.message.c_str());
    if (result.rfind("A:", 0) != 0) run.SkipWithError(result.c_str());
  }
}

// BM_BareCmsVerify: the message decoded from Base64 and parsed, its signature verified with the
// certificate it carries, and that certificate's signature checked with the issuer's key.
void BM_BareCmsVerify(benchmark::State& run) {
  const Signed& s = TheSigned();
  const std::vector<std::uint8_t>& der = TheWorld().signer.der;
  const unsigned char* p = der.data();
  velmor::platform::UniquePtr<X509> issuer(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  std::vector<unsigned char> decoded(s.message.size());
  for (auto _ : run) {
    std::string compact;
    for (char c : s.message) {
      if (c != '\n') compact.push_back(c);
    }
    EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(compact.data()),
                    static_cast<int>(compact.size()));
    const unsigned char* m = s.messageDer.data();
    velmor::platform::UniquePtr<CMS_ContentInfo> cms(
        d2i_CMS_ContentInfo(nullptr, &m, static_cast<long>(s.messageDer.size())));
    velmor::platform::UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
    const bool ok = cms && CMS_verify(cms.get(), nullptr, nullptr, nullptr, out.get(),
                                      CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) == 1;
    STACK_OF(X509)* signers = ok ? CMS_get0_signers(cms.get()) : nullptr;
    const bool chained = signers != nullptr && sk_X509_num(signers) == 1 &&
                         X509_verify(sk_X509_value(signers, 0), X509_get0_pubkey(issuer.get())) == 1;
    sk_X509_free(signers);
    if (!chained) run.SkipWithError("bare CMS verification failed");
  }
}

void BM_PKCS7Data(benchmark::State& run) {
  velmor::CtrlState state;
  SelectSigner(state);
  velmor::SetSignData(state, kText);
  for (auto _ : run) {
    std::string result = velmor::PKCS7Data(state);
    if (result.rfind("MII", 0) != 0) run.SkipWithError(result.c_str());
  }
}

// BarePkcs7: what any signer holding the key and certificate does for the same message: a
// PKCS #7 signed message over `text` (MD5, no attributes, the certificate carried), its DER
// and the Base64 of it. False when OpenSSL fails.
bool BarePkcs7(const std::string& text, X509* cert, std::string& base64) {
  velmor::platform::UniquePtr<BIO> in(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  const int flags = PKCS7_BINARY | PKCS7_NOATTR | PKCS7_PARTIAL;
  velmor::platform::UniquePtr<PKCS7> p7(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags));
  if (!in || !p7 || PKCS7_sign_add_signer(p7.get(), cert, TheWorld().key.get(), EVP_md5(), flags) == nullptr ||
      PKCS7_final(p7.get(), in.get(), flags) != 1) {
    return false;
  }
  unsigned char* der = nullptr;
  const int n = i2d_PKCS7(p7.get(), &der);
  velmor::platform::OpenSslBytes owned(der);
  if (n <= 0) return false;
  base64.resize(static_cast<std::size_t>(4 * ((n + 2) / 3) + 1));
  base64.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), der, n)));
  return true;
}

// PKCS7Data and the bare message in turns within one loop, as for the getter above.
void BM_PKCS7DataOverBareInTurns(benchmark::State& run) {
  velmor::CtrlState state;
  SelectSigner(state);
  velmor::SetSignData(state, kText);
  const std::string text = velmor::g_szSignData;
  const std::vector<std::uint8_t>& der = TheWorld().signer.der;
  const unsigned char* p = der.data();
  velmor::platform::UniquePtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  std::string bare;
  using Clock = std::chrono::steady_clock;
  Clock::duration control{};
  Clock::duration plain{};
  for (auto _ : run) {
    const auto start = Clock::now();
    std::string result = velmor::PKCS7Data(state);
    const auto middle = Clock::now();
    const bool signedBare = BarePkcs7(text, cert.get(), bare);
    const auto end = Clock::now();
    if (result.rfind("MII", 0) != 0 || !signedBare) run.SkipWithError("signing failed");
    benchmark::DoNotOptimize(result);
    control += middle - start;
    plain += end - middle;
  }
  const double controlUs = std::chrono::duration<double, std::micro>(control).count();
  const double plainUs = std::chrono::duration<double, std::micro>(plain).count();
  const auto n = static_cast<double>(run.iterations());
  run.counters["pkcs7data_us"] = controlUs / n;
  run.counters["bare_us"] = plainUs / n;
  run.counters["ratio"] = plainUs > 0 ? controlUs / plainUs : 0;
}

BENCHMARK(BM_VerifySignature)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_BareVerify)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_VerifyPKCS7)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_BareCmsVerify)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_PKCS7Data)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_PKCS7DataOverBareInTurns)->Unit(benchmark::kMicrosecond)->MinTime(3.0);

// The pairs whose ratio counts are repeated: the machine is shared, and the median of a few
// runs says more than one.
BENCHMARK(BM_SignDataGetter)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_BareRsa2048Md5)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_SignDataGetterOverBareInTurns)->Unit(benchmark::kMicrosecond)->MinTime(3.0);
BENCHMARK(BM_SignDataGetterKeyForm)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_SignDataGetterKeyFormFirstUse)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->Repetitions(5);
BENCHMARK(BM_StepProviderContext)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StepOpenStoreAndFindSigner)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StepKeyContainer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StepHashAndSign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SignFile256MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(3);
BENCHMARK(BM_OpensslMd5InMemory256MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(3);
BENCHMARK(BM_OpensslMd5FromFile256MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(3);


}  // namespace

int main(int argc, char** argv) {
  return velmor::bench::RunWithRatios(argc, argv, {
      {"SignData getter / bare RSA-2048 MD5 signature", "BM_SignDataGetter", "BM_BareRsa2048Md5"},
      {"SignData getter, sealed key / plain key, from the key cache",
       "BM_SignDataGetterKeyForm/1", "BM_SignDataGetterKeyForm/0"},
      {"SignData getter, sealed key / plain key, first use",
       "BM_SignDataGetterKeyFormFirstUse/1", "BM_SignDataGetterKeyFormFirstUse/0"},
      {"VerifySignature / bare certificate parse + RSA-2048 MD5 verification",
       "BM_VerifySignature", "BM_BareVerify"},
      {"VerifyPKCS7 / bare CMS verification + issuer check", "BM_VerifyPKCS7", "BM_BareCmsVerify"},
      {"PKCS7Data / bare RSA-2048 MD5 signature", "BM_PKCS7Data", "BM_BareRsa2048Md5"},
      {"SignFile / OpenSSL MD5 in memory", "BM_SignFile256MiB", "BM_OpensslMd5InMemory256MiB"},
      {"SignFile / OpenSSL MD5 read from the file",
       "BM_SignFile256MiB", "BM_OpensslMd5FromFile256MiB"},
  });
}
