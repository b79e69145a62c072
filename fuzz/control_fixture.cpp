#include "fuzz/control_fixture.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "codec/codec.h"
#include "tests/support/owners.h"

namespace velmor::fuzz {
namespace {

using namespace velmor::testing::owners;

constexpr unsigned long kPublicExponent = 65537;
constexpr long kDay = 24L * 3600;
// Seed messages carry a signer certificate made when the seeds were; it must still be valid
// when the fuzzer runs years later.
constexpr long kValidity = 50 * 365 * kDay;

void Require(bool ok, const char* call) {
  if (!ok) throw std::runtime_error(std::string("fuzz fixture: ") + call);
}

Bn NewBn() {
  Bn bn(BN_new());
  Require(bn != nullptr, "BN_new");
  return bn;
}

// DerivedPrime: the first prime p at or after the `bits`-bit number drawn from the label, with
// its two top bits set (so that two of them make a modulus of twice the size) and p - 1 prime to
// the public exponent.
Bn DerivedPrime(std::string_view label, int bits) {
  std::string bytes;
  for (unsigned counter = 0; bytes.size() * 8 < static_cast<std::size_t>(bits); ++counter) {
    const std::string block = std::string(label) + '/' + std::to_string(counter);
    unsigned char digest[32];
    unsigned int length = 0;
    Require(EVP_Digest(block.data(), block.size(), digest, &length, EVP_sha256(), nullptr) == 1,
            "EVP_Digest");
    bytes.append(reinterpret_cast<const char*>(digest), length);
  }
  bytes.resize(static_cast<std::size_t>(bits) / 8);
  bytes.front() = static_cast<char>(bytes.front() | 0xC0);
  bytes.back() = static_cast<char>(bytes.back() | 0x01);
  Bn p(BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<int>(bytes.size()), nullptr));
  Require(p != nullptr, "BN_bin2bn");
  for (;;) {
    const int prime = BN_check_prime(p.get(), nullptr, nullptr);
    Require(prime >= 0, "BN_check_prime");
    if (prime == 1 && BN_mod_word(p.get(), kPublicExponent) != 1) return p;
    Require(BN_add_word(p.get(), 2) == 1, "BN_add_word");
  }
}

std::string PemOf(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()));
  Require(bio != nullptr, "BIO_new");
  Require(PEM_write_bio_PKCS8PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM_write_bio_PKCS8PrivateKey");
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(n));
}

}  // namespace

testing::TestKey DerivedKey(std::string_view label, int bits) {
  const Bn p = DerivedPrime(std::string(label) + "/p", bits / 2);
  const Bn q = DerivedPrime(std::string(label) + "/q", bits / 2);
  const BnCtx ctx(BN_CTX_new());
  Require(ctx != nullptr, "BN_CTX_new");
  Bn n = NewBn(), e = NewBn(), d = NewBn(), p1 = NewBn(), q1 = NewBn(), phi = NewBn();
  Bn dp = NewBn(), dq = NewBn(), qinv = NewBn();
  Require(BN_set_word(e.get(), kPublicExponent) == 1 && BN_mul(n.get(), p.get(), q.get(), ctx.get()) == 1 &&
              BN_sub(p1.get(), p.get(), BN_value_one()) == 1 &&
              BN_sub(q1.get(), q.get(), BN_value_one()) == 1 &&
              BN_mul(phi.get(), p1.get(), q1.get(), ctx.get()) == 1 &&
              BN_mod_inverse(d.get(), e.get(), phi.get(), ctx.get()) != nullptr &&
              BN_mod(dp.get(), d.get(), p1.get(), ctx.get()) == 1 &&
              BN_mod(dq.get(), d.get(), q1.get(), ctx.get()) == 1 &&
              BN_mod_inverse(qinv.get(), q.get(), p.get(), ctx.get()) != nullptr,
          "RSA arithmetic");

  const ParamBuilder builder(OSSL_PARAM_BLD_new());
  Require(builder != nullptr, "OSSL_PARAM_BLD_new");
  const std::pair<const char*, const BIGNUM*> parts[] = {
      {OSSL_PKEY_PARAM_RSA_N, n.get()},          {OSSL_PKEY_PARAM_RSA_E, e.get()},
      {OSSL_PKEY_PARAM_RSA_D, d.get()},          {OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()},
      {OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()},    {OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()},
      {OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get()},
  };
  for (const auto& [name, value] : parts) {
    Require(OSSL_PARAM_BLD_push_BN(builder.get(), name, value) == 1, "OSSL_PARAM_BLD_push_BN");
  }
  const Params params(OSSL_PARAM_BLD_to_param(builder.get()));
  Require(params != nullptr, "OSSL_PARAM_BLD_to_param");
  const PkeyCtx pctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  Require(pctx != nullptr && EVP_PKEY_fromdata_init(pctx.get()) == 1, "EVP_PKEY_fromdata_init");
  EVP_PKEY* raw = nullptr;
  Require(EVP_PKEY_fromdata(pctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) == 1,
          "EVP_PKEY_fromdata");
  const Pkey key(raw);

  testing::TestKey out;
  out.bits = bits;
  out.privatePem = PemOf(key.get());
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key.get(), &der);
  Require(length > 0, "i2d_PUBKEY");
  out.publicDer.assign(der, der + length);
  OPENSSL_free(der);
  return out;
}

Fixture& Fixture::Get() {
  // Built on first use and destroyed at exit, which removes the data directory.
  static Fixture fixture;
  return fixture;
}

Fixture::Fixture() {
  auto spec = [](const char* subject, std::vector<std::uint8_t> serial, const char* label) {
    testing::CertSpec s = testing::Spec(subject, std::move(serial));
    s.key = DerivedKey(label, 1024);
    s.notBeforeOffsetSeconds = -kDay;
    s.notAfterOffsetSeconds = kValidity;
    return s;
  };
  pki_.ca = testing::MakeCert(spec("/CN=Fuzz Root CA/O=Tarnvik Bank", {0x0c, 0xa0, 0x00, 0x01},
                                   "velmor fuzz ca"));
  testing::CertSpec signer =
      spec("/CN=Fuzz Signer/OU=QVA/O=Tarnvik Bank", {0x5e, 0xed, 0x00, 0x01}, "velmor fuzz signer");
  signer.issuer = &pki_.ca;
  pki_.signer = testing::MakeCert(signer);
  testing::CertSpec recipient = spec("/CN=Fuzz Recipient/OU=QWB/O=Tarnvik Bank",
                                     {0x5e, 0xed, 0x00, 0x02}, "velmor fuzz recipient");
  recipient.issuer = &pki_.ca;
  pki_.recipient = testing::MakeCert(recipient);

  testing::AddToStore("CA", pki_.ca);
  testing::AddToStore("Root", pki_.ca);
  testing::ImportWithKey("MY", pki_.signer, AT_KEYEXCHANGE, "fuzz-signer");
  testing::ImportWithKey("MY", pki_.recipient, AT_KEYEXCHANGE, "fuzz-recipient");
  testing::AddToStore("CA", pki_.recipient);

  work_ = home_.path() / "work";
  std::filesystem::create_directory(work_);
}

std::string Fixture::SignerCNText() const {
  char text[128];
  std::snprintf(text, sizeof text, "%02zuCN=Fuzz Signer%02zu%s", std::string("CN=Fuzz Signer").size(),
                pki_.signer.serialHex.size(), pki_.signer.serialHex.c_str());
  return text;
}

com::ComPtr<IDispatch> NewControl() {
  void* pv = nullptr;
  Check(CreateVelmorCtrl(IID_IDispatch, &pv) == S_OK && pv != nullptr, "CreateVelmorCtrl");
  return com::ComPtr<IDispatch>(static_cast<IDispatch*>(pv));
}

std::u16string Invoke(IDispatch* d, DISPID id, WORD flags,
                      const std::vector<std::optional<std::u16string>>& args) {
  std::vector<com::UniqueBstr> strings;
  std::vector<VARIANT> variants(args.size());
  for (std::size_t k = 0; k < args.size(); ++k) {
    VARIANT& v = variants[args.size() - 1 - k];  // OLE passes the last argument first
    VariantInit(&v);
    if (!args[k]) {
      v.vt = VT_NULL;
      continue;
    }
    strings.emplace_back(SysAllocStringLen(args[k]->data(), static_cast<UINT>(args[k]->size())));
    Check(strings.back() != nullptr, "SysAllocStringLen");
    v.vt = VT_BSTR;
    v.bstrVal = strings.back().get();
  }
  DISPID named = DISPID_PROPERTYPUT;
  const bool put = flags == DISPATCH_PROPERTYPUT;
  DISPPARAMS params{variants.empty() ? nullptr : variants.data(), put ? &named : nullptr,
                    static_cast<UINT>(variants.size()), put ? 1u : 0u};
  VARIANT result;
  VariantInit(&result);
  const HRESULT hr = d->Invoke(id, IID_NULL, 0, flags, &params, &result, nullptr, nullptr);
  Check(hr == S_OK, "Invoke did not answer S_OK");
  std::u16string text;
  if (!put) {
    Check(result.vt == VT_BSTR, "a result that is not a string");
    if (result.bstrVal != nullptr) text.assign(result.bstrVal, SysStringLen(result.bstrVal));
  }
  VariantClear(&result);
  Check(static_cast<CVelmorCtrl*>(d)->WorkingHandlesEmpty(), "a working handle left after a call");
  return text;
}

std::u16string Get(IDispatch* d, DISPID id) { return Invoke(d, id, DISPATCH_PROPERTYGET, {}); }

void Put(IDispatch* d, DISPID id, const std::optional<std::u16string>& value) {
  Invoke(d, id, DISPATCH_PROPERTYPUT, {value});
}

std::u16string Call(IDispatch* d, DISPID id,
                    const std::vector<std::optional<std::u16string>>& args) {
  return Invoke(d, id, DISPATCH_METHOD, args);
}

Frame Split(const std::uint8_t* data, std::size_t size, std::size_t count) {
  Frame frame;
  frame.fields.resize(count);
  if (size == 0 || count == 0) return frame;
  frame.selector = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  for (std::size_t k = 0; k + 1 < count && !rest.empty(); ++k) {
    const std::size_t zero = rest.find('\0');
    frame.fields[k] = std::string(rest.substr(0, zero));
    rest = zero == std::string_view::npos ? std::string_view() : rest.substr(zero + 1);
  }
  frame.fields[count - 1] = std::string(rest);
  return frame;
}

std::string JoinFrame(std::uint8_t selector, const std::vector<std::string>& fields) {
  std::string out(1, static_cast<char>(selector));
  for (std::size_t k = 0; k < fields.size(); ++k) {
    out += fields[k];
    if (k + 1 < fields.size()) out += '\0';
  }
  return out;
}

std::u16string Widen(std::string_view text, UINT codePage) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  Check(n > 0, "MultiByteToWideChar size");
  std::u16string wide(static_cast<std::size_t>(n), u'\0');
  Check(MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), n) == n,
        "MultiByteToWideChar");
  return wide;
}

std::string Narrow(std::u16string_view text, UINT codePage) {
  if (text.empty()) return {};
  auto out = com::WideToMultiByte(codePage, text.data(), static_cast<int>(text.size()));
  Check(out.has_value(), "WideToMultiByte");
  return *out;
}

std::string Base64(std::string_view bytes) {
  const MallocChars text(
      Base64Encode(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<int>(bytes.size())));
  Check(text != nullptr, "Base64Encode");
  std::string out;
  for (const char* c = text.get(); *c != '\0'; ++c) {
    if (*c != '\n') out += *c;
  }
  return out;
}

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

int FailureCode(std::u16string_view result) {
  if (result.size() < 6 || result.substr(0, 2) != u"E:") return -1;
  int code = 0;
  for (std::size_t i = 2; i < 6; ++i) {
    if (result[i] < u'0' || result[i] > u'9') return -1;
    code = code * 10 + (result[i] - u'0');
  }
  return code;
}

bool IsFailure(std::u16string_view result) {
  if (FailureCode(result) < 0) return false;
  if (result.size() == 6) return true;
  // " %x %d" of one value: lower-case hexadecimal, then the same value as a signed decimal.
  const std::string rest = Narrow(result.substr(6));
  unsigned long hex = 0;
  long dec = 0;
  char hexText[16] = {}, decText[16] = {};
  if (std::sscanf(rest.c_str(), " %15[0-9a-f] %15[-0-9]", hexText, decText) != 2) return false;
  hex = std::strtoul(hexText, nullptr, 16);
  dec = std::strtol(decText, nullptr, 10);
  char again[40];
  std::snprintf(again, sizeof again, " %lx %ld", hex, dec);
  return rest == again && static_cast<std::uint32_t>(hex) == static_cast<std::uint32_t>(dec);
}

std::optional<std::vector<std::string>> TypedFields(std::string_view ansi, char type, int count,
                                                    bool shortLast) {
  if (ansi.size() < 2 || ansi[0] != type || ansi[1] != ':') return std::nullopt;
  std::vector<std::string> fields;
  std::size_t at = 2;
  for (int k = 0; k < count; ++k) {
    if (ansi.size() - at < 8) return std::nullopt;
    std::size_t length = 0;
    for (std::size_t i = at; i < at + 8; ++i) {
      if (ansi[i] < '0' || ansi[i] > '9') return std::nullopt;
      length = length * 10 + static_cast<std::size_t>(ansi[i] - '0');
    }
    at += 8;
    const std::size_t left = ansi.size() - at;
    if (k + 1 == count && shortLast) {
      if (left > length) return std::nullopt;
      length = left;
    } else if (left < length) {
      return std::nullopt;
    }
    fields.emplace_back(ansi.substr(at, length));
    at += length;
  }
  if (at != ansi.size()) return std::nullopt;
  return fields;
}

bool IsUpperHex(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

void RemoveIfPresent(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

RunGuard::RunGuard() {
  ClearModuleBuffers();
  com::SetAnsiCodePage(CP_UTF8);
}

RunGuard::~RunGuard() {
  ClearModuleBuffers();
  com::SetAnsiCodePage(CP_UTF8);
}

}  // namespace velmor::fuzz
