// velmor certs: the user's certificate stores and key containers, managed from the command line.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hosts/velmor/admin.h"
#include "hosts/velmor/commands.h"
#include "hosts/velmor/passin.h"
#include "hosts/session/unique_fd.h"
#include "platform/crypt/crypt.h"

namespace velmor::host {

namespace {

struct CertsOptions {
  std::string store = "MY";
  std::string file;
  std::string password;  // --password, kept for older scripts
  bool passwordGiven = false;
  std::string passin;    // --passin SOURCE
  std::string keySpec = "exchange";
  std::string serial;
  std::string keyStorage;  // --key-storage keyring|file; empty: as the store says, else found
  std::string out;         // export-key --out
  bool verbose = false;
};

constexpr const char* kStores = "MY, CA, Root, Trust, TrustedPublisher";

// kMaxInputFileBytes: the largest certificate or PKCS #12 file read. A bank's PKCS #12 file
// or a bundle of issuer certificates is a few kilobytes to a few hundred; the cap keeps a
// mistaken path (a device, a disk image) from being read into memory without end.
constexpr std::size_t kMaxInputFileBytes = std::size_t{16} << 20;

// ReadWholeFile reads a regular file of at most kMaxInputFileBytes. Directories, devices,
// pipes and sockets are refused without being read, and a file whose size says 0 (as files in
// /proc do) is still read to its end, within the cap.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path, std::string& why) {
  // Non-blocking, so that opening a pipe with no writer does not hang before it is refused.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    why = std::strerror(errno);
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    why = std::strerror(errno);
    return std::nullopt;
  }
  if (S_ISDIR(info.st_mode)) {
    why = "it is a directory";
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) {
    why = "it is not a regular file";
    return std::nullopt;
  }
  const std::string tooLarge = "it is larger than " + std::to_string(kMaxInputFileBytes >> 20) + " MiB";
  if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > kMaxInputFileBytes) {
    why = tooLarge;
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size) + 1);
  std::size_t used = 0;
  for (;;) {
    if (used == bytes.size()) {
      if (used > kMaxInputFileBytes) {
        why = tooLarge;
        return std::nullopt;
      }
      bytes.resize(std::min(bytes.size() * 2 + 4096, kMaxInputFileBytes + 1));
    }
    const ssize_t n = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  bytes.resize(used);
  return bytes;
}

// Reason: a sentence for the last error of a failed store operation.
std::string Reason(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return std::string("unknown store (the stores are ") + kStores + ")";
    case velmor::crypt::ERROR_INVALID_PASSWORD_DW: return "wrong password";
    case NTE_EXISTS: return "its key is already imported (the key container exists)";
    case NTE_BAD_KEY: return "the private key does not belong to the certificate";
    case NTE_NO_KEY: return "the file holds no private key";
    case NTE_BAD_ALGID: return "the key is not an RSA key";
    case NTE_BAD_KEYSET:
      return "the private key cannot be opened: the master key that seals it is missing or "
             "wrong (see velmor certs list --verbose)";
    case CRYPT_E_NO_KEY_PROPERTY: return "the certificate has no private key";
    case CRYPT_E_NOT_FOUND: return "no certificate found";
    case CRYPT_E_ASN1_EOD:
    case CRYPT_E_ASN1_CORRUPT:
    case CRYPT_E_ASN1_BADTAG:
    case CRYPT_E_ASN1_ERROR:
    case NTE_BAD_DATA: return "the file is not readable as a certificate or PKCS #12 file";
    case E_ACCESSDENIED_DW: return "the certificate database cannot be opened";
    default: break;
  }
  char code[32];
  std::snprintf(code, sizeof code, "error 0x%08x", error);
  std::string text = code;
  const char* call = velmor::crypt::LastFailedCall();
  if (call != nullptr && call[0] != '\0') text += std::string(" (") + call + ")";
  return text;
}

int Failed(const std::string& command, const std::string& what) {
  std::cerr << "velmor certs " << command << ": " << what << "\n";
  return 1;
}

std::string UtcText(std::int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// ImportPassword: the password of the PKCS #12 file, from --passin, from --password, by a
// prompt when standard input is a terminal, else empty (a file without a password).
std::optional<Secret> ImportPassword(const CertsOptions& o, std::string& why) {
  if (!o.passin.empty()) return ReadPassin(o.passin, why);
  if (o.passwordGiven) return Secret(std::string(o.password));
  if (::isatty(STDIN_FILENO) != 0) return PromptPassword("Password of " + o.file + ": ", why);
  return Secret();
}

int Import(const CertsOptions& o) {
  if (o.store != "MY" && o.store != "my") {
    return Failed("import", "a certificate with its key goes into MY, not '" + o.store + "'");
  }
  std::string why;
  auto bytes = ReadWholeFile(o.file, why);
  if (!bytes) return Failed("import", "cannot read " + o.file + ": " + why);
  std::optional<Secret> password = ImportPassword(o, why);
  if (!password) return Failed("import", why + "; nothing was imported");
  const DWORD spec = o.keySpec == "signature" ? AT_SIGNATURE : AT_KEYEXCHANGE;
  velmor::admin::Pkcs12Import result;
  if (!velmor::admin::ImportPkcs12(*bytes, password->text().c_str(), spec, std::string(), &result)) {
    return Failed("import", o.file + ": " + Reason(GetLastError()) + "; nothing was imported");
  }
  std::cout << "imported " << result.serialHex << " " << result.subject << " into MY with key container "
            << result.container;
  if (result.chainCount != 0) std::cout << "; " << result.chainCount << " chain certificate(s) into CA";
  std::cout << "\n";
  return 0;
}

int Add(const CertsOptions& o) {
  std::string why;
  auto bytes = ReadWholeFile(o.file, why);
  if (!bytes) return Failed("add", "cannot read " + o.file + ": " + why);
  std::size_t added = 0, present = 0;
  if (!velmor::admin::AddCertificates(o.store, *bytes, &added, &present)) {
    return Failed("add", o.file + ": " + Reason(GetLastError()) + "; nothing was added");
  }
  std::cout << "added " << added << " certificate(s) to " << o.store;
  if (present != 0) std::cout << " (" << present << " already there)";
  std::cout << "\n";
  return 0;
}

// KeyStorageText: where the master key of the user's sealed private keys is kept.
std::string KeyStorageText() {
  velmor::crypt::KeyStorageInfo info;
  if (!velmor::crypt::DescribeKeyStorage(info)) return "unknown (" + Reason(GetLastError()) + ")";
  if (!info.sealed) {
    return "no key sealed yet (the first goes under a master key in the Secret Service when one "
           "answers, else in a file beside the store)";
  }
  if (info.place == "keyring") return "Secret Service, item \"" + info.where + "\"";
  std::string text = "file " + info.where + " (owner-only)";
  if (info.fellBack) text += ", chosen because no Secret Service answered";
  return text;
}

// TokenKeys: the key column of MY's certificates that are on a present token, by the container
// their key-provider property names (a token key's PKCS #11 URI). A token's key is not opened to
// list it: that would ask for its PIN.
std::map<std::string, std::string> TokenKeys() {
  std::map<std::string, std::string> out;
  std::vector<velmor::crypt::TokenModuleEntry> modules;
  if (!velmor::crypt::ListTokens(modules)) return out;
  for (const auto& module : modules) {
    for (const auto& slot : module.slots) {
      if (!slot.token) continue;
      for (const auto& cert : slot.token->certificates) {
        if (cert.key == velmor::crypt::TokenKeyPlace::kNone) continue;
        out[cert.container] = "key on token \"" + slot.token->label + "\"" +
                              (cert.key == velmor::crypt::TokenKeyPlace::kAfterLogin
                                   ? " (behind its PIN)"
                                   : "");
      }
    }
  }
  return out;
}

int List(const CertsOptions& o) {
  std::vector<velmor::admin::CertificateEntry> entries;
  if (!velmor::admin::ListCertificates(o.store, entries)) {
    return Failed("list", o.store + ": " + Reason(GetLastError()));
  }
  // "MY" as the control sees it: the database's certificates, then those of the tokens present.
  const bool my = o.store == "MY" || o.store == "my";
  const std::map<std::string, std::string> onToken = my ? TokenKeys() : std::map<std::string, std::string>();
  if (o.verbose) std::cout << "# private keys sealed with AES-256-GCM; master key: " << KeyStorageText() << "\n";
  for (const auto& e : entries) {
    std::string key = e.hasKey ? "key" : "no key";
    // A key the property names but that cannot be opened is not the same as none.
    if (!e.hasKey && e.keyError == NTE_BAD_KEYSET && !e.container.empty()) key = "key (sealed, cannot be opened)";
    if (auto it = onToken.find(e.container); !e.container.empty() && it != onToken.end()) {
      key = it->second;
      // A token key that is not its certificate's is refused when it is used; say so here when
      // the token showed it without a PIN.
      if (e.keyError == NTE_BAD_KEY) key += ", not the certificate's key";
    }
    std::cout << e.serialHex << "\t" << e.subject << "\t" << UtcText(e.notBefore) << "\t"
              << UtcText(e.notAfter) << "\t" << key;
    if (o.verbose && !e.container.empty()) std::cout << "\t" << e.container;
    std::cout << "\n";
  }
  return 0;
}

// ExportKeyPassword: the password of the file export-key writes: from --passin, else asked
// for on the terminal. Never empty: the file carries a private key.
std::optional<Secret> ExportKeyPassword(const CertsOptions& o, std::string& why) {
  if (o.passin.empty() && ::isatty(STDIN_FILENO) == 0) {
    why = "a password is needed for a file with a private key (--passin)";
    return std::nullopt;
  }
  std::optional<Secret> password = !o.passin.empty()
                                       ? ReadPassin(o.passin, why)
                                       : PromptPassword("Password for " + o.out + ": ", why);
  if (password && password->text().empty()) {
    why = "the password is empty; a file with a private key needs one";
    return std::nullopt;
  }
  return password;
}

int ExportKey(const CertsOptions& o) {
  std::string why;
  std::optional<Secret> password = ExportKeyPassword(o, why);
  if (!password) return Failed("export-key", why + "; nothing was written");
  std::vector<std::uint8_t> pfx;
  if (!velmor::admin::ExportKey(o.store, o.serial, password->text().c_str(), pfx)) {
    DWORD error = GetLastError();
    if (error == CRYPT_E_NOT_FOUND) return Failed("export-key", "no certificate " + o.serial + " in " + o.store);
    return Failed("export-key", o.serial + ": " + Reason(error) + "; nothing was written");
  }
  // A new file, owner-only, never one that exists (it may be someone else's or a link).
  UniqueFd fd(::open(o.out.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return Failed("export-key", "cannot create " + o.out + ": " + std::strerror(errno));
  std::size_t done = 0;
  while (done < pfx.size()) {
    const ssize_t n = ::write(fd.get(), pfx.data() + done, pfx.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string reason = std::strerror(errno);
      ::unlink(o.out.c_str());
      return Failed("export-key", "cannot write " + o.out + ": " + reason);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd.get()) != 0) {
    const std::string reason = std::strerror(errno);
    ::unlink(o.out.c_str());
    return Failed("export-key", "cannot write " + o.out + ": " + reason);
  }
  std::cout << "wrote the certificate " << o.serial << " and its private key to " << o.out << "\n";
  return 0;
}

int Remove(const CertsOptions& o) {
  std::size_t removed = 0;
  if (!velmor::admin::RemoveCertificates(o.store, o.serial, &removed)) {
    DWORD error = GetLastError();
    if (error == CRYPT_E_NOT_FOUND) return Failed("remove", "no certificate " + o.serial + " in " + o.store);
    return Failed("remove", o.store + ": " + Reason(error));
  }
  std::cout << "removed " << removed << " certificate(s) from " << o.store << "\n";
  return 0;
}

int Export(const CertsOptions& o) {
  std::string pem;
  if (!velmor::admin::ExportCertificatePem(o.store, o.serial, pem)) {
    DWORD error = GetLastError();
    if (error == CRYPT_E_NOT_FOUND) return Failed("export", "no certificate " + o.serial + " in " + o.store);
    return Failed("export", o.store + ": " + Reason(error));
  }
  std::cout << pem;
  return 0;
}

}  // namespace

void AddCertsCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<CertsOptions>();
  CLI::App* certs = app.add_subcommand("certs", "Manage the user's certificate stores and keys");
  certs->require_subcommand(1);
  auto storeOption = [&](CLI::App* sub, bool required) {
    auto* opt = sub->add_option("--store", options->store, std::string("Store: ") + kStores);
    if (required) opt->required();
    sub->add_option("--key-storage", options->keyStorage,
                    "Where the master key that seals the private keys is kept: keyring (the "
                    "desktop's Secret Service) or file (beside the store). Default: where the "
                    "store's first key went, else the Secret Service when one answers, else a file")
        ->check(CLI::IsMember({"keyring", "file"}));
  };
  // KeyStorageChosen: passes --key-storage on to the platform before a command runs.
  auto keyStorageChosen = [options] {
    if (options->keyStorage == "keyring") velmor::crypt::SetKeyStorage(velmor::crypt::KeyStorage::kKeyring);
    if (options->keyStorage == "file") velmor::crypt::SetKeyStorage(velmor::crypt::KeyStorage::kFile);
  };

  CLI::App* import = certs->add_subcommand(
      "import", "Import a PKCS #12 file: the key into a new container, the certificate into MY");
  storeOption(import, false);
  import->add_option("file", options->file, "PKCS #12 file")->required();
  import
      ->add_option("--passin", options->passin,
                   "Where the password of the PKCS #12 file is: pass:TEXT, env:VARIABLE, "
                   "file:PATH (its first line), fd:NUMBER (its first line) or stdin (its first "
                   "line). Without it the password is asked for on the terminal, or is empty "
                   "when standard input is not a terminal")
      ->check([](const std::string& spec) { return PassinFormError(spec); });
  CLI::Option* password = import->add_option(
      "--password", options->password,
      "The password itself. Deprecated: every local user can read it from the process list; "
      "use --passin");
  password->excludes("--passin");
  import->add_option("--key-spec", options->keySpec, "exchange (default) or signature")
      ->check(CLI::IsMember({"exchange", "signature"}));
  import->callback([options, password, keyStorageChosen, &exitCode] {
    keyStorageChosen();
    options->passwordGiven = password->count() != 0;
    if (options->passwordGiven) {
      std::cerr << "velmor: --password is deprecated: every local user can read it from the "
                   "process list; use --passin\n";
    }
    exitCode = Import(*options);
    Secret::Wipe(options->password);
    Secret::Wipe(options->passin);
  });

  CLI::App* add = certs->add_subcommand("add", "Add certificates (PEM or DER) to a store");
  storeOption(add, true);
  add->add_option("file", options->file, "Certificate file")->required();
  add->callback([options, keyStorageChosen, &exitCode] {
    keyStorageChosen();
    exitCode = Add(*options);
  });

  CLI::App* list = certs->add_subcommand("list", "List a store: serial, subject, validity, key");
  storeOption(list, true);
  list->add_flag("--verbose,-v", options->verbose,
                 "Also say where the master key of the private keys is kept, and each key's container");
  list->callback([options, keyStorageChosen, &exitCode] {
    keyStorageChosen();
    exitCode = List(*options);
  });

  CLI::App* remove = certs->add_subcommand("remove", "Remove the certificates with a serial number");
  storeOption(remove, true);
  remove->add_option("serial", options->serial, "Serial number as lower-case hexadecimal")->required();
  remove->callback([options, keyStorageChosen, &exitCode] {
    keyStorageChosen();
    exitCode = Remove(*options);
  });

  CLI::App* exportCmd = certs->add_subcommand("export", "Write a certificate as PEM");
  storeOption(exportCmd, true);
  exportCmd->add_option("serial", options->serial, "Serial number as lower-case hexadecimal")->required();
  exportCmd->callback([options, keyStorageChosen, &exitCode] {
    keyStorageChosen();
    exitCode = Export(*options);
  });

  CLI::App* exportKey = certs->add_subcommand(
      "export-key", "Write a certificate and its private key as a PKCS #12 file, to move them");
  storeOption(exportKey, false);
  exportKey->add_option("serial", options->serial, "Serial number as lower-case hexadecimal")->required();
  exportKey->add_option("--out", options->out, "The PKCS #12 file to create (not one that exists)")
      ->required();
  exportKey
      ->add_option("--passin", options->passin,
                   "Where the password of the new file is, as for import. Without it the "
                   "password is asked for on the terminal; it may not be empty")
      ->check([](const std::string& spec) { return PassinFormError(spec); });
  exportKey->callback([options, keyStorageChosen, &exitCode] {
    keyStorageChosen();
    exitCode = ExportKey(*options);
    Secret::Wipe(options->passin);
  });
}

}  // namespace velmor::host
