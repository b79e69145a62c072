// Store and signing costs of the platform layer.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "hosts/velmor/admin.h"
#include "platform/crypt/crypt.h"
#include "platform/crypt/owners.h"
#include "tests/support/pki.h"

namespace {

using namespace velmor::testing;
using velmor::platform::UniquePtr;

// A data home of its own per scenario, filled once.
struct Home {
  std::filesystem::path path;
  std::string signerSerial;
  TestCert signer;
};

std::filesystem::path MakeDir(const char* name) {
  auto dir = std::filesystem::temp_directory_path() / ("velmor-bench-" + std::to_string(getpid())) / name;
  std::filesystem::create_directories(dir);
  return dir;
}

void Use(const Home& home) { setenv("XDG_DATA_HOME", home.path.c_str(), 1); }

void AddMany(const std::string& store, int count, const char* subject) {
  std::string pem;
  for (int i = 0; i < count; ++i) pem += MakeCert(Spec(std::string(subject) + std::to_string(i))).pem();
  if (!velmor::admin::AddCertificates(store, std::vector<std::uint8_t>(pem.begin(), pem.end()), nullptr)) {
    std::abort();
  }
}

const Home& ThousandInMy() {
  static const Home home = [] {
    Home h;
    h.path = MakeDir("thousand");
    Use(h);
    AddMany("MY", 1000, "/OU=Other/CN=Holder ");
    return h;
  }();
  Use(home);
  return home;
}

const Home& SignerAmongHundred() {
  static const Home home = [] {
    Home h;
    h.path = MakeDir("signer");
    Use(h);
    AddMany("MY", 99, "/OU=QWX/CN=Holder ");
    h.signer = MakeCert(Spec("/CN=Signer/OU=QVA/O=Tarnvik Bank", {}, 2048));
    ImportWithKey("MY", h.signer, AT_KEYEXCHANGE, "bench-signer");
    h.signerSerial = h.signer.serialHex;
    HCRYPTPROV prov = 0;
    CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET);
    CryptReleaseContext(prov, 0);
    return h;
  }();
  Use(home);
  return home;
}

std::size_t EnumerateMy() {
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  std::size_t n = 0;
  PCCERT_CONTEXT ctx = nullptr;
  while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
    benchmark::DoNotOptimize(ctx->pCertInfo->SerialNumber.pbData);
    ++n;
  }
  CertCloseStore(store, 0);
  return n;
}

void BM_OpenMyEnumerate1000_Cached(benchmark::State& state) {
  ThousandInMy();
  EnumerateMy();
  for (auto _ : state) benchmark::DoNotOptimize(EnumerateMy());
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_OpenMyEnumerate1000_Cached)->Unit(benchmark::kMicrosecond);

// Another process wrote meanwhile: the store list is read again, no certificate re-parsed.
void BM_OpenMyEnumerate1000_AfterWrite(benchmark::State& state) {
  ThousandInMy();
  TestCert extra = MakeCert(Spec("/CN=Extra"));
  for (auto _ : state) {
    state.PauseTiming();
    velmor::admin::AddCertificates("CA", extra.der, nullptr);
    state.ResumeTiming();
    benchmark::DoNotOptimize(EnumerateMy());
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_OpenMyEnumerate1000_AfterWrite)->Unit(benchmark::kMicrosecond);

// A fresh process: every certificate parsed.
void BM_OpenMyEnumerate1000_Cold(benchmark::State& state) {
  ThousandInMy();
  for (auto _ : state) {
    state.PauseTiming();
    velmor::crypt::DropCaches();
    state.ResumeTiming();
    benchmark::DoNotOptimize(EnumerateMy());
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_OpenMyEnumerate1000_Cold)->Unit(benchmark::kMicrosecond);

// The SignData getter's platform calls: context, "MY" with 100 certificates, the signer found by
// subject text and serial, its key property, the key's container, MD5, RSA-2048, release.
void BM_SignDataPath(benchmark::State& state) {
  const Home& home = SignerAmongHundred();
  std::string text = "abc" + std::string(58, ' ') + "~!~def";
  for (auto _ : state) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0)) std::abort();
    HCERTSTORE store = CertOpenSystemStoreA(prov, "MY");
    PCCERT_CONTEXT signer = nullptr;
    PCCERT_CONTEXT ctx = nullptr;
    char name[2048];
    while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
      CertNameToStrA(X509_ASN_ENCODING, &ctx->pCertInfo->Subject, CERT_X500_NAME_STR, name, sizeof name);
      if (std::strstr(name, "OU=QVA") == nullptr) continue;
      const auto& s = ctx->pCertInfo->SerialNumber;
      std::string hex = BytesToHex(s.pbData, s.cbData);
      std::string serial;
      for (std::size_t i = hex.size(); i >= 2; i -= 2) serial += hex.substr(i - 2, 2);
      if (serial == home.signerSerial) {
        signer = ctx;
        break;
      }
    }
    if (signer == nullptr) std::abort();
    DWORD size = 0;
    CertGetCertificateContextProperty(signer, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size);
    std::unique_ptr<std::uint64_t[]> buffer(new std::uint64_t[size / 8 + 1]);
    CertGetCertificateContextProperty(signer, CERT_KEY_PROV_INFO_PROP_ID, buffer.get(), &size);
    auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.get());
    char container[256], provider[256];
    WideCharToMultiByte(CP_ACP, 0, info->pwszContainerName, -1, container, sizeof container, nullptr, nullptr);
    WideCharToMultiByte(CP_ACP, 0, info->pwszProvName, -1, provider, sizeof provider, nullptr, nullptr);
    HCRYPTPROV keyProv = 0;
    if (!CryptAcquireContextA(&keyProv, container, provider, PROV_RSA_FULL, 0)) std::abort();
    HCRYPTHASH hash = 0;
    CryptCreateHash(keyProv, CALG_MD5, 0, 0, &hash);
    CryptHashData(hash, reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()), 0);
    DWORD len = 0;
    CryptSignHashA(hash, info->dwKeySpec, nullptr, 0, nullptr, &len);
    std::vector<BYTE> sig(len);
    if (!CryptSignHashA(hash, info->dwKeySpec, nullptr, 0, sig.data(), &len)) std::abort();
    benchmark::DoNotOptimize(sig.data());
    CryptDestroyHash(hash);
    CertCloseStore(store, 0);
    CertFreeCertificateContext(signer);
    CryptReleaseContext(keyProv, 0);
    CryptReleaseContext(prov, 0);
  }
}
BENCHMARK(BM_SignDataPath)->Unit(benchmark::kMicrosecond);

// The same signature with OpenSSL alone: the floor the path above is measured against.
void BM_BareOpenSslRsa2048Md5(benchmark::State& state) {
  const Home& home = SignerAmongHundred();
  UniquePtr<BIO> bio(BIO_new_mem_buf(home.signer.key.privatePem.data(), -1));
  UniquePtr<EVP_PKEY> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  std::string text = "abc" + std::string(58, ' ') + "~!~def";
  std::vector<unsigned char> sig(512);
  for (auto _ : state) {
    UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    std::size_t len = sig.size();
    EVP_DigestSignInit(ctx.get(), nullptr, EVP_md5(), nullptr, key.get());
    EVP_DigestSign(ctx.get(), sig.data(), &len, reinterpret_cast<const unsigned char*>(text.data()),
                   text.size());
    benchmark::DoNotOptimize(sig.data());
  }
}
BENCHMARK(BM_BareOpenSslRsa2048Md5)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                                  ("velmor-bench-" + std::to_string(getpid())),
                              ec);
  return 0;
}
