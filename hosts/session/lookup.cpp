#include "hosts/session/lookup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "certs/find.h"
#include "codec/codec.h"
#include "hosts/session/session.h"
#include "hosts/session/unique_fd.h"
#include "platform/crypt/handles.h"
#include "platform/crypt/crypt.h"
#include "platform/crypt/digest.h"

namespace velmor::host {

using crypt::UniqueCert;
using crypt::UniqueStore;
namespace {

using Json = nlohmann::ordered_json;

// The stores a lookup may name: the user's own and the issuers' and recipients'.
constexpr const char* kStores[] = {"MY", "CA", "TrustedPublisher", "Root", "Trust"};

std::string NameText(CERT_NAME_BLOB& name) {
  char text[1024] = {};
  CertNameToStrA(X509_ASN_ENCODING, &name, CERT_X500_NAME_STR, text, sizeof text);
  return text;
}

// CommonName: the value of the subject's first CN attribute, unquoted; the whole subject text
// when it has none.
std::string CommonName(const std::string& subject) {
  const char* at = FindSubjectKey(subject.c_str(), "CN=");
  if (at == nullptr) return subject;
  std::string value;
  const char* p = at + 3;
  if (*p == '"') {
    for (++p; *p != 0; ++p) {
      if (*p == '"' && p[1] == '"') {
        value.push_back('"');
        ++p;
      } else if (*p == '"') {
        break;
      } else {
        value.push_back(*p);
      }
    }
    return value;
  }
  for (; *p != 0 && *p != ',' && *p != ';' && *p != '+'; ++p) value.push_back(*p);
  while (!value.empty() && value.back() == ' ') value.pop_back();
  return value;
}

std::string TimeText(const FILETIME& ft) {
  const std::uint64_t ticks = (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
  constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;  // 1970 in 100 ns since 1601
  const std::time_t seconds =
      ticks >= kUnixEpoch ? static_cast<std::time_t>((ticks - kUnixEpoch) / 10000000u) : 0;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

Json Describe(PCCERT_CONTEXT cert) {
  std::string subject = NameText(cert->pCertInfo->Subject);
  return Json{{"subject", CommonName(subject)},
              {"subjectName", subject},
              {"issuer", NameText(cert->pCertInfo->Issuer)},
              {"serial", SerialHex(cert)},
              {"notAfter", TimeText(cert->pCertInfo->NotAfter)}};
}

// Signer: whether `cert` is one a signature may use, by the rule getMySignerCert applies.
bool Signer(PCCERT_CONTEXT cert) {
  std::string subject = NameText(cert->pCertInfo->Subject);
  for (char& c : subject) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return SignerOuFilter(subject.c_str());
}

Json FindBySerial(const Json& request) {
  const std::string serial = request.at("serial").get<std::string>();
  const bool signer = request.value("signer", false);
  std::vector<std::string> stores;
  for (const Json& name : request.value("stores", Json::array({"MY"}))) {
    const std::string store = name.get<std::string>();
    bool known = false;
    for (const char* k : kStores) known = known || store == k;
    if (!known) throw std::invalid_argument("unknown store: " + store);
    stores.push_back(store);
  }
  if (serial.empty()) return nullptr;
  for (const std::string& name : stores) {
    const UniqueStore store(CertOpenSystemStoreA(0, name.c_str()));
    if (!store) return nullptr;  // as the operations do: a store that does not open ends the search
    for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store.get(), nullptr); cert != nullptr;
         cert = CertEnumCertificatesInStore(store.get(), cert)) {
      if (SerialHexIs(cert, serial) && (!signer || Signer(cert))) {
        const UniqueCert found(cert);
        Json row = Describe(found.get());
        row["store"] = name;
        return row;
      }
    }
  }
  return nullptr;
}

Json FromDer(const std::string& base64) {
  BYTE* raw = nullptr;
  DWORD length = 0;
  if (Base64Decode(base64.c_str(), &raw, &length) != 0) return nullptr;
  const MallocBytes bytes(raw);
  const UniqueCert cert(CertCreateCertificateContext(X509_ASN_ENCODING, bytes.get(), length));
  return cert ? Describe(cert.get()) : Json(nullptr);
}

// FullPath: `path` as the control would open it from this process: absolute, its folder's links
// resolved (a link at the file itself is reported by "link").
std::string FullPath(const std::string& path) {
  if (path.empty()) return {};
  std::string absolute = path;
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
    absolute = std::string(cwd) + "/" + path;
  }
  const auto slash = absolute.find_last_of('/');
  const std::string folder = AbsolutePath(slash == 0 ? "/" : absolute.substr(0, slash));
  if (folder.empty()) return absolute;
  return (folder == "/" ? "" : folder) + absolute.substr(slash);
}

Json DescribeFile(const Json& request) {
  const std::string path = request.at("path").get<std::string>();
  const bool digest = request.value("digest", false);
  Json file = {{"path", path}, {"fullPath", FullPath(path)}};
  struct stat link {};
  file["exists"] = !path.empty() && ::lstat(path.c_str(), &link) == 0;
  file["link"] = file["exists"].get<bool>() && S_ISLNK(link.st_mode);
  if (file["link"].get<bool>()) file["target"] = AbsolutePath(path);
  struct stat st {};
  const bool regular = !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  file["regular"] = regular;
  if (!regular) return file;
  file["size"] = static_cast<std::uint64_t>(st.st_size);
  if (!digest) return file;
  // Non-blocking, so that a FIFO swapped in after the check cannot hold the host.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat opened {};
  if (!fd || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
    file["readable"] = false;
    return file;
  }
  const std::optional<crypt::FileDigest> d = crypt::Sha256OfFile(fd.get());
  file["readable"] = d.has_value();
  if (d) {
    file["size"] = d->size;
    file["sha256"] = HexEncode(d->sha256.data(), d->sha256.size());
  }
  return file;
}

}  // namespace

bool AnswerLookup(const std::string& op, const Json& request, Json& answer) {
  try {
    if (op == "certificate") {
      answer["certificate"] = request.contains("der") ? FromDer(request.at("der").get<std::string>())
                                                      : FindBySerial(request);
      return true;
    }
    if (op == "file") {
      answer["file"] = DescribeFile(request);
      return true;
    }
  } catch (const Json::exception&) {
    throw std::invalid_argument("malformed request: a " + op + " lookup names " +
                                (op == "file" ? "a \"path\"" : "a \"serial\" or a \"der\""));
  }
  return false;
}

}  // namespace velmor::host
