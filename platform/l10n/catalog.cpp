#include "platform/l10n/catalog.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits.h>

#include "platform/base/guard.h"

namespace velmor::l10n {
namespace {

constexpr std::uint32_t kMagic = 0x950412de;

class Reader {
 public:
  Reader(std::string_view bytes, bool swapped) : bytes_(bytes), swapped_(swapped) {}
  // Word: the 32-bit word at `offset`; nullopt past the end.
  std::optional<std::uint32_t> Word(std::uint64_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 4) return std::nullopt;
    std::uint32_t w;
    std::memcpy(&w, bytes_.data() + offset, 4);
    return swapped_ ? __builtin_bswap32(w) : w;
  }
  // String: entry `index` of the table at `table` (length, offset), cut at its first NUL (a
  // plural's first form); nullopt when the entry or the string with its NUL reaches past the end.
  std::optional<std::string_view> String(std::uint32_t table, std::uint32_t index) const {
    const std::uint64_t at = std::uint64_t{table} + std::uint64_t{index} * 8;
    const auto length = Word(at);
    const auto offset = Word(at + 4);
    if (!length || !offset) return std::nullopt;
    // Each string ends in a NUL that its length leaves out; one without it is cut short.
    if (*offset > bytes_.size() || bytes_.size() - *offset <= std::uint64_t{*length} ||
        bytes_[*offset + *length] != '\0') {
      return std::nullopt;
    }
    std::string_view text = bytes_.substr(*offset, *length);
    return text.substr(0, text.find('\0'));
  }

 private:
  std::string_view bytes_;
  bool swapped_;
};

std::string Strip(std::string_view entry) {
  const std::size_t cut = entry.find_first_of(".@");
  return std::string(entry.substr(0, cut));
}

bool IsSet(const char* value) { return value != nullptr && value[0] != '\0'; }

std::string ProgramDir() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  const std::string path(self, static_cast<std::size_t>(n));
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

const Catalog* UserCatalog() {
  static const std::optional<Catalog> catalog = []() -> std::optional<Catalog> {
    const std::string dir = LocaleDir();
    if (dir.empty()) return std::nullopt;
    for (const std::string& language :
         Languages(std::getenv("LANGUAGE"), std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                   std::getenv("LANG"))) {
      // The texts are written in English: an English catalogue has nothing to add.
      if (language == "en" || language.starts_with("en_")) return std::nullopt;
      if (auto found = Catalog::Load(dir + "/" + language + "/LC_MESSAGES/" + kDomain + ".mo")) return found;
    }
    return std::nullopt;
  }();
  return catalog ? &*catalog : nullptr;
}

}  // namespace

std::optional<Catalog> Catalog::Parse(std::string_view bytes) {
  Reader probe(bytes, false);
  const auto magic = probe.Word(0);
  if (!magic) return std::nullopt;
  const bool swapped = *magic != kMagic;
  if (swapped && __builtin_bswap32(*magic) != kMagic) return std::nullopt;
  const Reader read(bytes, swapped);
  const auto revision = read.Word(4);
  const auto count = read.Word(8);
  const auto originals = read.Word(12);
  const auto translations = read.Word(16);
  if (!revision || !count || !originals || !translations || (*revision >> 16) > 1) return std::nullopt;
  Catalog catalog;
  for (std::uint32_t i = 0; i < *count; ++i) {
    const auto msgid = read.String(*originals, i);
    const auto msgstr = read.String(*translations, i);
    if (!msgid || !msgstr) return std::nullopt;
    if (msgid->empty() || msgstr->empty()) continue;
    catalog.entries_.emplace(std::string(*msgid), std::string(*msgstr));
  }
  return catalog;
}

std::optional<Catalog> Catalog::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > kMaxCatalogBytes) return std::nullopt;
  }
  return Parse(bytes);
}

const std::string* Catalog::Find(std::string_view msgid) const {
  const auto it = entries_.find(std::string(msgid));
  return it == entries_.end() ? nullptr : &it->second;
}

std::vector<std::string> Languages(const char* language, const char* lcAll, const char* lcMessages,
                                   const char* lang) {
  const char* locale = IsSet(lcAll) ? lcAll : IsSet(lcMessages) ? lcMessages : IsSet(lang) ? lang : nullptr;
  if (locale == nullptr || std::strcmp(locale, "C") == 0 || std::strcmp(locale, "POSIX") == 0 ||
      std::strncmp(locale, "C.", 2) == 0) {
    return {};
  }
  std::vector<std::string> entries;
  if (IsSet(language)) {
    const std::string_view list = language;
    for (std::size_t start = 0; start <= list.size();) {
      const std::size_t end = std::min(list.find(':', start), list.size());
      if (end > start) entries.push_back(Strip(list.substr(start, end - start)));
      start = end + 1;
    }
  }
  entries.push_back(Strip(locale));
  std::vector<std::string> out;
  auto add = [&out](const std::string& entry) {
    if (!entry.empty() && std::find(out.begin(), out.end(), entry) == out.end()) out.push_back(entry);
  };
  for (const std::string& entry : entries) {
    add(entry);
    add(entry.substr(0, entry.find('_')));
  }
  return out;
}

std::string LocaleDir() {
  const char* chosen = std::getenv("VELMOR_LOCALEDIR");
  if (IsSet(chosen)) return chosen;
  const std::string dir = ProgramDir();
  return dir.empty() ? std::string() : dir + "/../share/locale";
}

namespace {
// Untranslated: Tr's answer when loading the catalogue fails by throwing (memory running out
// while it is read): the text itself, as when there is no catalogue.
struct Untranslated {
  const char* msgid;
  const char* OutOfMemory() const noexcept { return msgid; }
  const char* Failure() const noexcept { return msgid; }
};
}  // namespace

const char* Tr(const char* msgid) noexcept {
  return platform::Guard(Untranslated{msgid}, [&]() -> const char* {
    const Catalog* catalog = UserCatalog();
    if (catalog == nullptr) return msgid;
    const std::string* found = catalog->Find(msgid);
    return found != nullptr ? found->c_str() : msgid;
  });
}

std::string Format(std::string_view text, std::initializer_list<std::string_view> args) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '{' && i + 2 < text.size() && text[i + 2] == '}' && text[i + 1] >= '0' &&
        static_cast<std::size_t>(text[i + 1] - '0') < args.size()) {
      out += *(args.begin() + (text[i + 1] - '0'));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace velmor::l10n
