// Certificates: parsing into CERT_INFO, reference-counted contexts, subject text, properties.
#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>
#include <unordered_map>

#include "platform/base/hex.h"
#include "platform/crypt/certificate.h"
#include "platform/crypt/entry.h"

namespace velmor::crypt::detail {

namespace {

// ---- A minimal DER walker, for the parts of a certificate whose exact bytes we hand out ------
struct Tlv {
  std::uint8_t tag = 0;
  const std::uint8_t* begin = nullptr;    // first byte of the tag
  const std::uint8_t* content = nullptr;  // first byte of the content
  std::size_t length = 0;                 // content length
  const std::uint8_t* end() const { return content + length; }
};

// ReadTlv: reads one element at p (single-byte tags, definite lengths), checking every length
// against `end` before trusting it.
bool ReadTlv(const std::uint8_t*& p, const std::uint8_t* end, Tlv& out) {
  if (p >= end || end - p < 2) return false;
  out.begin = p;
  out.tag = p[0];
  if ((out.tag & 0x1F) == 0x1F) return false;
  std::size_t len = p[1];
  const std::uint8_t* q = p + 2;
  if (len & 0x80) {
    std::size_t n = len & 0x7F;
    if (n == 0 || n > 4 || static_cast<std::size_t>(end - q) < n) return false;
    len = 0;
    for (std::size_t i = 0; i < n; ++i) len = (len << 8) | q[i];
    q += n;
  }
  if (static_cast<std::size_t>(end - q) < len) return false;
  out.content = q;
  out.length = len;
  p = q + len;
  return true;
}

std::uint8_t* Keep(CertData& d, const std::uint8_t* p, std::size_t n) {
  d.arena.emplace_back(p, p + n);
  return d.arena.back().data();
}

char* KeepText(CertData& d, std::string text) {
  d.strings.push_back(std::move(text));
  return d.strings.back().data();
}

// OidText: the dotted text of an OID; nullopt with the failure recorded.
std::optional<std::string> OidText(const ASN1_OBJECT* obj) {
  char buffer[128];
  int n = VELMOR_CALL(OBJ_obj2txt, buffer, sizeof buffer, obj, 1);
  if (n <= 0) {
    FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
    return std::nullopt;
  }
  if (static_cast<std::size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<std::size_t>(n));
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  VELMOR_CALL(OBJ_obj2txt, big.data(), n + 1, obj, 1);
  big.resize(static_cast<std::size_t>(n));
  return big;
}

// OidFromTlv: the dotted text of an OBJECT IDENTIFIER element; nullopt with the failure recorded.
std::optional<std::string> OidFromTlv(const Tlv& tlv) {
  const std::uint8_t* p = tlv.begin;
  UniquePtr<ASN1_OBJECT> obj(
      VELMOR_CALL(d2i_ASN1_OBJECT, nullptr, &p, static_cast<long>(tlv.end() - tlv.begin)));
  if (!obj) {
    FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
    return std::nullopt;
  }
  return OidText(obj.get());
}

// Algorithm: SEQUENCE { OID, parameters ANY OPTIONAL }.
bool FillAlgorithm(CertData& d, const Tlv& seq, CRYPT_ALGORITHM_IDENTIFIER& out) {
  const std::uint8_t* p = seq.content;
  Tlv oid;
  if (!ReadTlv(p, seq.end(), oid) || oid.tag != 0x06) return false;
  auto text = OidFromTlv(oid);
  if (!text) return false;
  out.pszObjId = KeepText(d, std::move(*text));
  out.Parameters.cbData = static_cast<DWORD>(seq.end() - p);
  out.Parameters.pbData = out.Parameters.cbData ? Keep(d, p, out.Parameters.cbData) : nullptr;
  return true;
}

bool FillBitString(CertData& d, const Tlv& bits, CRYPT_BIT_BLOB& out) {
  if (bits.length == 0) return false;
  out.cUnusedBits = bits.content[0] & 7u;
  out.cbData = static_cast<DWORD>(bits.length - 1);
  out.pbData = out.cbData ? Keep(d, bits.content + 1, out.cbData) : nullptr;
  return true;
}

// FillTime: a UTCTime or GeneralizedTime element as FILETIME.
bool FillTime(const Tlv& tlv, FILETIME& out) {
  if (tlv.tag != 0x17 && tlv.tag != 0x18) return false;
  const unsigned char* p = tlv.begin;
  UniquePtr<ASN1_TIME> at(
      VELMOR_CALL(d2i_ASN1_TIME, nullptr, &p, static_cast<long>(tlv.end() - tlv.begin)));
  if (!at) return FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
  std::tm tm{};
  if (VELMOR_CALL(ASN1_TIME_to_tm, at.get(), &tm) != 1) return FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
  out = FileTimeFromUnix(static_cast<std::int64_t>(timegm(&tm)));
  return true;
}

// FillExtensions: [3] { SEQUENCE OF SEQUENCE { OID, BOOLEAN DEFAULT FALSE, OCTET STRING } }.
bool FillExtensions(CertData& d, const Tlv& outer) {
  const std::uint8_t* p = outer.content;
  Tlv list;
  if (!ReadTlv(p, outer.end(), list) || list.tag != 0x30) return false;
  p = list.content;
  while (p < list.end()) {
    Tlv ext, oid, item;
    if (!ReadTlv(p, list.end(), ext) || ext.tag != 0x30) return false;
    const std::uint8_t* e = ext.content;
    if (!ReadTlv(e, ext.end(), oid) || oid.tag != 0x06 || !ReadTlv(e, ext.end(), item)) return false;
    CERT_EXTENSION out{};
    auto text = OidFromTlv(oid);
    if (!text) return false;
    out.pszObjId = KeepText(d, std::move(*text));
    if (item.tag == 0x01) {
      out.fCritical = item.length == 1 && item.content[0] != 0 ? TRUE : FALSE;
      if (!ReadTlv(e, ext.end(), item)) return false;
    }
    if (item.tag != 0x04) return false;
    out.Value.cbData = static_cast<DWORD>(item.length);
    out.Value.pbData = item.length ? Keep(d, item.content, item.length) : nullptr;
    d.extensions.push_back(out);
  }
  return true;
}

bool FillFromTbs(CertData& d) {
  const std::uint8_t* p = d.der.data();
  const std::uint8_t* end = p + d.der.size();
  Tlv cert, tbs;
  if (!ReadTlv(p, end, cert) || cert.tag != 0x30) return false;
  p = cert.content;
  if (!ReadTlv(p, cert.end(), tbs) || tbs.tag != 0x30) return false;
  p = tbs.content;
  const std::uint8_t* tend = tbs.end();
  Tlv t;
  if (!ReadTlv(p, tend, t)) return false;
  d.info.dwVersion = 0;
  if (t.tag == 0xA0) {
    const std::uint8_t* v = t.content;
    Tlv ver;
    if (!ReadTlv(v, t.end(), ver) || ver.tag != 0x02 || ver.length != 1) return false;
    d.info.dwVersion = ver.content[0];
    if (!ReadTlv(p, tend, t)) return false;
  }
  if (t.tag != 0x02 || t.length == 0) return false;
  // CryptoAPI keeps the serial least significant byte first, every encoded byte included.
  std::vector<std::uint8_t> serial(t.content, t.end());
  std::reverse(serial.begin(), serial.end());
  d.info.SerialNumber.cbData = static_cast<DWORD>(serial.size());
  d.info.SerialNumber.pbData = Keep(d, serial.data(), serial.size());
  if (!ReadTlv(p, tend, t) || t.tag != 0x30 || !FillAlgorithm(d, t, d.info.SignatureAlgorithm)) {
    return false;
  }
  if (!ReadTlv(p, tend, t) || t.tag != 0x30) return false;
  d.info.Issuer.cbData = static_cast<DWORD>(t.end() - t.begin);
  d.info.Issuer.pbData = Keep(d, t.begin, d.info.Issuer.cbData);
  if (!ReadTlv(p, tend, t) || t.tag != 0x30) return false;
  {
    const std::uint8_t* v = t.content;
    Tlv times[2];
    if (!ReadTlv(v, t.end(), times[0]) || !ReadTlv(v, t.end(), times[1])) return false;
    if (!FillTime(times[0], d.info.NotBefore) || !FillTime(times[1], d.info.NotAfter)) return false;
  }
  if (!ReadTlv(p, tend, t) || t.tag != 0x30) return false;
  d.info.Subject.cbData = static_cast<DWORD>(t.end() - t.begin);
  d.info.Subject.pbData = Keep(d, t.begin, d.info.Subject.cbData);
  if (!ReadTlv(p, tend, t) || t.tag != 0x30) return false;
  const std::uint8_t* s = t.content;
  Tlv alg, bits;
  if (!ReadTlv(s, t.end(), alg) || alg.tag != 0x30 ||
      !FillAlgorithm(d, alg, d.info.SubjectPublicKeyInfo.Algorithm)) {
    return false;
  }
  if (!ReadTlv(s, t.end(), bits) || bits.tag != 0x03 ||
      !FillBitString(d, bits, d.info.SubjectPublicKeyInfo.PublicKey)) {
    return false;
  }
  while (p < tend) {
    if (!ReadTlv(p, tend, t)) return false;
    if (t.tag == 0x81 && t.length > 0) {
      FillBitString(d, t, d.info.IssuerUniqueId);
    } else if (t.tag == 0x82 && t.length > 0) {
      FillBitString(d, t, d.info.SubjectUniqueId);
    } else if (t.tag == 0xA3 && !FillExtensions(d, t)) {
      return false;
    }
  }
  d.info.cExtension = static_cast<DWORD>(d.extensions.size());
  d.info.rgExtension = d.extensions.empty() ? nullptr : d.extensions.data();
  return true;
}

// The live contexts, so that a stale pointer is refused instead of dereferenced.
std::unordered_map<const CERT_CONTEXT*, std::unique_ptr<CertContextImpl>>& Contexts() {
  return TheRuntime().contexts;
}

}  // namespace

FILETIME FileTimeFromUnix(std::int64_t seconds) {
  // 100-nanosecond intervals since 1601-01-01.
  auto ticks = static_cast<std::uint64_t>((seconds + 11644473600LL) * 10000000LL);
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

std::int64_t UnixFromFileTime(const FILETIME& ft) {
  std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

namespace {

// DecodeX509: OpenSSL's full decoding of the certificate, in this layer's library context; null
// with a CRYPT_E_ASN1_* (or NTE_NO_MEMORY) last error.
UniquePtr<X509> DecodeX509(const std::vector<std::uint8_t>& der) {
  X509* raw = VELMOR_CALL(X509_new_ex, LibCtx(), nullptr);
  if (raw == nullptr) {
    FailOpenSsl(NTE_NO_MEMORY);
    return nullptr;
  }
  const unsigned char* p = der.data();
  // d2i fills the object made in our context; when it fails it frees it itself and nulls `raw`.
  const bool decoded = VELMOR_CALL(d2i_X509, &raw, &p, static_cast<long>(der.size())) != nullptr;
  UniquePtr<X509> x(raw);
  if (!decoded) {
    // A short input is "end of data"; anything else is a corrupt encoding.
    Tlv outer;
    const std::uint8_t* q = der.data();
    FailOpenSsl(ReadTlv(q, der.data() + der.size(), outer) ? CRYPT_E_ASN1_CORRUPT
                                                           : CRYPT_E_ASN1_EOD);
    return nullptr;
  }
  if (p != der.data() + der.size()) {
    SetLastError(CRYPT_E_ASN1_CORRUPT);  // trailing bytes after the certificate
    return nullptr;
  }
  return x;
}

}  // namespace

std::shared_ptr<const CertData> ParseX509(X509* x) {
  unsigned char* raw = nullptr;
  const int n = VELMOR_CALL(i2d_X509, x, &raw);
  OpenSslBytes der(raw);
  if (n <= 0) {
    FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
    return nullptr;
  }
  // OpenSSL decoded the certificate already: its object is kept instead of decoding it again.
  auto data = ParseCertificate(der.get(), static_cast<std::size_t>(n), /*trusted=*/true);
  if (data) data->x509 = UpRef(x);
  return data;
}

std::shared_ptr<const CertData> ParseCertificate(const std::uint8_t* der, std::size_t len,
                                                 bool trusted) {
  if (der == nullptr || len == 0) {
    SetLastError(CRYPT_E_ASN1_EOD);
    return nullptr;
  }
  if (der[0] != 0x30) {
    SetLastError(CRYPT_E_ASN1_BADTAG);
    return nullptr;
  }
  if (len > 0x7FFFFFFF) {
    SetLastError(CRYPT_E_ASN1_CORRUPT);
    return nullptr;
  }
  auto data = std::make_shared<CertData>();
  data->der.assign(der, der + len);
  // The walk goes first, so that every input meets it, and OpenSSL's decoding then has the last
  // word on what outside input is (and names the error). A walk stopped where OpenSSL decodes an
  // element (an OID, a time) has recorded that call and its error; one stopped by the structure
  // itself leaves none, and the encoding is corrupt.
  SetLastError(ERROR_SUCCESS);
  const bool walked = FillFromTbs(*data);
  const DWORD walkError = GetLastError() != ERROR_SUCCESS ? GetLastError() : CRYPT_E_ASN1_CORRUPT;
  if (!trusted) {
    data->x509 = DecodeX509(data->der);
    if (!data->x509) return nullptr;
  }
  if (!walked) {
    SetLastError(walkError);
    return nullptr;
  }
  return data;
}

X509* X509Of(const CertData& data) {
  if (!data.x509) {
    data.x509 = DecodeX509(data.der);
    if (!data.x509) return nullptr;
  }
  return data.x509.get();
}

PCCERT_CONTEXT NewContext(std::shared_ptr<const CertData> data, std::shared_ptr<StoreImpl> store,
                          std::int64_t rowId, std::optional<KeyProvRecord> keyProv) {
  auto impl = std::make_unique<CertContextImpl>();
  impl->data = std::move(data);
  impl->store = std::move(store);
  impl->rowId = rowId;
  impl->keyProv = std::move(keyProv);
  impl->context.dwCertEncodingType = X509_ASN_ENCODING;
  // The context exposes the shared bytes; callers only read them.
  impl->context.pbCertEncoded = const_cast<BYTE*>(impl->data->der.data());
  impl->context.cbCertEncoded = static_cast<DWORD>(impl->data->der.size());
  impl->context.pCertInfo = const_cast<CERT_INFO*>(&impl->data->info);
  impl->context.hCertStore = impl->store ? HandleOf(*impl->store) : nullptr;
  const CERT_CONTEXT* key = &impl->context;
  Contexts().emplace(key, std::move(impl));
  return key;
}

CertContextImpl* FindContext(PCCERT_CONTEXT context) {
  auto it = Contexts().find(context);
  if (it == Contexts().end()) {
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
  }
  return it->second.get();
}

void ReleaseContextReference(CertContextImpl* impl);

void ReleaseContextReference(CertContextImpl* impl) {
  if (--impl->refs == 0) Contexts().erase(&impl->context);
}

std::vector<std::uint8_t> SerializeKeyProv(const KeyProvRecord& record) {
  const std::size_t head = sizeof(CRYPT_KEY_PROV_INFO);
  const std::size_t c = record.hasContainer ? (record.container.size() + 1) * sizeof(WCHAR) : 0;
  const std::size_t p = record.hasProvider ? (record.provider.size() + 1) * sizeof(WCHAR) : 0;
  // The buffer is handed out as a CRYPT_KEY_PROV_INFO: callers cast it.
  std::vector<std::uint8_t> out(head + c + p, 0);
  CRYPT_KEY_PROV_INFO info{};
  info.dwProvType = record.provType;
  info.dwFlags = record.flags;
  info.dwKeySpec = record.keySpec;
  std::memcpy(out.data() + head, record.container.data(), c ? c - sizeof(WCHAR) : 0);
  std::memcpy(out.data() + head + c, record.provider.data(), p ? p - sizeof(WCHAR) : 0);
  std::memcpy(out.data(), &info, head);
  return out;
}

// The public keys decoded last, by their encoded bytes: a page verifies with the bank's
// certificate and seals for the bank's recipient again and again, and OpenSSL's key decoder
// costs more than the RSA operation it prepares. Public keys only; callers hold the API lock.
class PublicKeyCache {
 public:
  UniquePtr<EVP_PKEY> Find(const BYTE* der, std::size_t len) const {
    for (const Entry& e : entries_) {
      if (e.der.size() == len && std::memcmp(e.der.data(), der, len) == 0) return UpRef(e.key.get());
    }
    return nullptr;
  }
  void Add(const BYTE* der, std::size_t len, EVP_PKEY* key) {
    Entry entry{std::vector<std::uint8_t>(der, der + len), UpRef(key)};
    if (!entry.key) return;
    if (entries_.size() < kEntries) {
      entries_.push_back(std::move(entry));
    } else {
      entries_[next_] = std::move(entry);
      next_ = (next_ + 1) % kEntries;
    }
  }

 private:
  static constexpr std::size_t kEntries = 16;
  struct Entry {
    std::vector<std::uint8_t> der;
    UniquePtr<EVP_PKEY> key;
  };
  std::vector<Entry> entries_;
  std::size_t next_ = 0;
};

namespace {

PublicKeyCache& PublicKeys() { return TheRuntime().publicKeys.Get(); }

}  // namespace

UniquePtr<EVP_PKEY> PublicKeyOfInfo(const CERT_PUBLIC_KEY_INFO& info) {
  if (info.Algorithm.pszObjId == nullptr || std::strcmp(info.Algorithm.pszObjId, szOID_RSA_RSA) != 0) {
    SetLastError(NTE_BAD_ALGID);
    return nullptr;
  }
  if (info.PublicKey.pbData == nullptr || info.PublicKey.cbData == 0 ||
      info.PublicKey.cUnusedBits != 0) {
    SetLastError(CRYPT_E_ASN1_EOD);
    return nullptr;
  }
  if (UniquePtr<EVP_PKEY> known = PublicKeys().Find(info.PublicKey.pbData, info.PublicKey.cbData)) {
    return known;
  }
  // The bit string holds an RSAPublicKey (PKCS #1).
  EVP_PKEY* key = nullptr;
  UniquePtr<OSSL_DECODER_CTX> dctx(VELMOR_CALL(OSSL_DECODER_CTX_new_for_pkey, &key, "DER",
                                               "type-specific", "RSA", EVP_PKEY_PUBLIC_KEY,
                                               LibCtx(), nullptr));
  if (!dctx) {
    FailOpenSsl(NTE_FAIL);
    return nullptr;
  }
  const unsigned char* p = info.PublicKey.pbData;
  std::size_t left = info.PublicKey.cbData;
  int ok = VELMOR_CALL(OSSL_DECODER_from_data, dctx.get(), &p, &left);
  UniquePtr<EVP_PKEY> owned(key);
  if (ok != 1 || !owned || left != 0) {
    FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
    return nullptr;
  }
  PublicKeys().Add(info.PublicKey.pbData, info.PublicKey.cbData, owned.get());
  return owned;
}

namespace {

struct AttrKey {
  const char* oid;
  const char* key;
};
constexpr AttrKey kKeys[] = {
    {"2.5.4.3", "CN"},       {"2.5.4.7", "L"},          {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},      {"1.2.840.113549.1.9.1", "E"}, {"2.5.4.6", "C"},
    {"2.5.4.8", "S"},        {"2.5.4.9", "STREET"},     {"2.5.4.12", "T"},
    {"2.5.4.42", "G"},       {"2.5.4.43", "I"},         {"2.5.4.4", "SN"},
    {"0.9.2342.19200300.100.1.25", "DC"}, {"2.5.4.5", "SERIALNUMBER"},
};

bool NeedsQuotes(const std::string& v) {
  if (v.empty() || v.front() == ' ' || v.back() == ' ') return true;
  return v.find_first_of(",+=\"\n<>#;") != std::string::npos;
}

// ToAnsi: UTF-16 text in the process's ANSI code page.
std::optional<std::string> ToAnsi(const std::u16string& wide) {
  return com::WideToMultiByte(CP_ACP, wide.data(), static_cast<int>(wide.size()));
}

}  // namespace

// Subject texts already written, by name encoding, for the code page they were written in:
// callers write the subject of every certificate of a store on every search.
struct NameTextCache {
  UINT codePage = 0;
  std::size_t bytes = 0;
  std::unordered_map<std::string, std::string> texts;
};

namespace {

constexpr std::size_t kNameTextCacheEntries = 8192;
constexpr std::size_t kNameTextCacheBytes = 1 << 20;

NameTextCache& NameCache() { return TheRuntime().nameTexts.Get(); }

std::optional<std::string> WriteNameText(const std::uint8_t* der, std::size_t len);

}  // namespace

std::optional<std::string> NameToText(const std::uint8_t* der, std::size_t len) {
  if (der == nullptr || len == 0) {
    SetLastError(CRYPT_E_ASN1_EOD);
    return std::nullopt;
  }
  NameTextCache& cache = NameCache();
  const UINT codePage = GetACP();
  if (cache.codePage != codePage || cache.texts.size() >= kNameTextCacheEntries ||
      cache.bytes >= kNameTextCacheBytes) {
    cache.texts.clear();
    cache.bytes = 0;
    cache.codePage = codePage;
  }
  std::string key(reinterpret_cast<const char*>(der), len);
  auto it = cache.texts.find(key);
  if (it != cache.texts.end()) return it->second;
  auto text = WriteNameText(der, len);
  if (text) {
    cache.bytes += key.size() + text->size();
    cache.texts.emplace(std::move(key), *text);
  }
  return text;
}

namespace {

std::optional<std::string> WriteNameText(const std::uint8_t* der, std::size_t len) {
  const unsigned char* p = der;
  UniquePtr<X509_NAME> name(VELMOR_CALL(d2i_X509_NAME, nullptr, &p, static_cast<long>(len)));
  if (!name) {
    FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
    return std::nullopt;
  }
  if (p != der + len) {
    SetLastError(CRYPT_E_ASN1_CORRUPT);  // trailing bytes after the name
    return std::nullopt;
  }
  std::string out;
  int lastSet = -1;
  int count = X509_NAME_entry_count(name.get());
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name.get(), i);
    int set = X509_NAME_ENTRY_set(entry);
    if (i > 0) out += set == lastSet ? " + " : ", ";
    lastSet = set;
    std::optional<std::string> oid = OidText(X509_NAME_ENTRY_get_object(entry));
    if (!oid) return std::nullopt;
    const char* key = nullptr;
    for (const auto& k : kKeys) {
      if (*oid == k.oid) key = k.key;
    }
    out += key != nullptr ? std::string(key) : "OID." + *oid;
    out += '=';
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(entry);
    unsigned char* raw = nullptr;
    int n = ASN1_STRING_to_UTF8(&raw, value);
    OpenSslBytes utf8(raw);
    std::optional<std::string> text;
    if (n >= 0) {
      std::string_view utf8Text(reinterpret_cast<char*>(utf8.get()), static_cast<std::size_t>(n));
      if (std::all_of(utf8Text.begin(), utf8Text.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        text = std::string(utf8Text);  // ASCII reads the same in every ANSI code page
      } else if (auto wide = Utf8ToUtf16(utf8Text)) {
        text = ToAnsi(*wide);
      }
    }
    if (n < 0) DropExpectedOpenSslErrors();  // a value that is no text is written as its DER
    if (!text) {
      // A value that is no text: its DER encoding in hexadecimal.
      UniquePtr<ASN1_TYPE> any(VELMOR_CALL(ASN1_TYPE_new));
      if (!any || VELMOR_CALL(ASN1_TYPE_set1, any.get(), ASN1_STRING_type(value), value) != 1) {
        FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
        return std::nullopt;
      }
      unsigned char* rawEnc = nullptr;
      const int encLen = VELMOR_CALL(i2d_ASN1_TYPE, any.get(), &rawEnc);
      OpenSslBytes enc(rawEnc);
      if (encLen <= 0) {
        FailOpenSsl(CRYPT_E_ASN1_CORRUPT);
        return std::nullopt;
      }
      out += "#" + platform::HexEncode(enc.get(), static_cast<std::size_t>(encLen),
                                         platform::HexCase::kUpper);
      continue;
    }
    if (NeedsQuotes(*text)) {
      out += '"';
      for (char c : *text) {
        if (c == '"') out += '"';
        out += c;
      }
      out += '"';
    } else {
      out += *text;
    }
  }
  return out;
}

}  // namespace

std::optional<std::string> SystemStoreName(std::string_view name) {
  static constexpr const char* kStores[] = {"MY", "CA", "Root", "Trust", "TrustedPublisher"};
  for (const char* store : kStores) {
    std::string_view s(store);
    if (s.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < s.size() && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(s[i])) ==
             std::tolower(static_cast<unsigned char>(name[i]));
    }
    if (same) return std::string(store);
  }
  return std::nullopt;
}

}  // namespace velmor::crypt::detail

using namespace velmor::crypt::detail;

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded) {
  return Call<PCCERT_CONTEXT>(nullptr, Api{"CertCreateCertificateContext"}, [&]() -> PCCERT_CONTEXT {
    if ((dwCertEncodingType & X509_ASN_ENCODING) == 0) {
      SetLastError(static_cast<DWORD>(E_INVALIDARG));
      return nullptr;
    }
    auto data = ParseCertificate(pbCertEncoded, cbCertEncoded);
    if (!data) return nullptr;
    return NewContext(std::move(data), nullptr, 0, std::nullopt);
  });
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
  return Call<PCCERT_CONTEXT>(nullptr, [&]() -> PCCERT_CONTEXT {
    if (pCertContext == nullptr) return nullptr;
    CertContextImpl* impl = FindContext(pCertContext);
    if (impl == nullptr) return nullptr;
    ++impl->refs;
    return pCertContext;
  });
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  return Call<BOOL>(FALSE, [&]() -> BOOL {
    if (pCertContext == nullptr) return TRUE;
    CertContextImpl* impl = FindContext(pCertContext);
    if (impl == nullptr) return FALSE;
    ReleaseContextReference(impl);
    return TRUE;
  });
}

DWORD CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPSTR psz,
                     DWORD csz) {
  return Call<DWORD>(0, [&]() -> DWORD {
    // Whatever happens, a caller's buffer holds a terminated text afterwards.
    if (psz != nullptr && csz > 0) psz[0] = '\0';
    if ((dwCertEncodingType & X509_ASN_ENCODING) == 0 || pName == nullptr ||
        (dwStrType & 0xF) != CERT_X500_NAME_STR) {
      SetLastError(static_cast<DWORD>(E_INVALIDARG));
      return 1;
    }
    auto text = NameToText(pName->pbData, pName->cbData);
    if (!text) return 1;
    const auto needed = static_cast<DWORD>(text->size() + 1);
    if (psz == nullptr || csz == 0) return needed;
    DWORD n = std::min<DWORD>(needed - 1, csz - 1);
    std::memcpy(psz, text->data(), n);
    psz[n] = '\0';
    return n + 1;
  });
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                       DWORD* pcbData) {
  return Call<BOOL>(FALSE, Api{"CertGetCertificateContextProperty"}, [&]() -> BOOL {
    CertContextImpl* impl = FindContext(pCertContext);
    if (impl == nullptr || pcbData == nullptr) {
      SetLastError(static_cast<DWORD>(E_INVALIDARG));
      return FALSE;
    }
    if (dwPropId == CERT_SHA256_HASH_PROP_ID) {
      std::uint8_t digest[EVP_MAX_MD_SIZE];
      unsigned int n = 0;
      UniquePtr<EVP_MD> sha256(VELMOR_CALL(EVP_MD_fetch, LibCtx(), "SHA256", nullptr));
      if (!sha256 || VELMOR_CALL(EVP_Digest, impl->data->der.data(), impl->data->der.size(), digest,
                                 &n, sha256.get(), nullptr) != 1) {
        return FailOpenSsl(NTE_BAD_HASH);
      }
      return WriteOutput(std::span<const std::uint8_t>(digest, n), static_cast<BYTE*>(pvData),
                         pcbData)
                 ? TRUE
                 : FALSE;
    }
    if (dwPropId != CERT_KEY_PROV_INFO_PROP_ID || !impl->keyProv) {
      return Fail(CRYPT_E_NOT_FOUND);
    }
    auto bytes = SerializeKeyProv(*impl->keyProv);
    if (pvData == nullptr) {
      *pcbData = static_cast<DWORD>(bytes.size());
      return TRUE;
    }
    if (*pcbData < bytes.size()) {
      *pcbData = static_cast<DWORD>(bytes.size());
      return Fail(ERROR_MORE_DATA);
    }
    // Point the record's names at the copies that follow it in the caller's buffer.
    auto* out = static_cast<BYTE*>(pvData);
    std::memcpy(out, bytes.data(), bytes.size());
    auto* info = static_cast<CRYPT_KEY_PROV_INFO*>(pvData);
    const KeyProvRecord& r = *impl->keyProv;
    WCHAR* names = reinterpret_cast<WCHAR*>(out + sizeof(CRYPT_KEY_PROV_INFO));
    info->pwszContainerName = r.hasContainer ? names : nullptr;
    info->pwszProvName =
        r.hasProvider ? names + (r.hasContainer ? r.container.size() + 1 : 0) : nullptr;
    info->cProvParam = 0;
    info->rgProvParam = nullptr;
    *pcbData = static_cast<DWORD>(bytes.size());
    return TRUE;
  });
}

namespace velmor::crypt {

std::string SerialHex(const CERT_INFO& info) {
  return platform::HexEncode(info.SerialNumber.pbData, info.SerialNumber.cbData,
                             platform::HexCase::kLower, platform::HexOrder::kReversed);
}

std::string SerialHex(PCCERT_CONTEXT cert) {
  if (cert == nullptr || cert->pCertInfo == nullptr) return {};
  return SerialHex(*cert->pCertInfo);
}

bool SerialHexIs(PCCERT_CONTEXT cert, std::string_view hex) {
  return cert != nullptr && cert->pCertInfo != nullptr && SerialHexIs(*cert->pCertInfo, hex);
}

bool SerialHexIs(const CERT_INFO& info, std::string_view hex) {
  const CRYPT_INTEGER_BLOB& serial = info.SerialNumber;
  if (serial.pbData == nullptr || serial.cbData == 0) return hex.empty();
  if (hex.size() / 2 != serial.cbData || hex.size() % 2 != 0) return false;
  char digits[2];
  for (DWORD i = 0; i < serial.cbData; ++i) {
    // Most significant byte first: the blob holds the least significant one first.
    platform::HexEncodeInto(&serial.pbData[serial.cbData - 1 - i], 1, digits,
                            platform::HexCase::kLower, platform::HexOrder::kForward);
    if (digits[0] != hex[2 * i] || digits[1] != hex[2 * i + 1]) return false;
  }
  return true;
}

}  // namespace velmor::crypt
