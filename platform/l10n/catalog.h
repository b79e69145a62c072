// The native texts in the user's language: gettext's catalogues (.mo files compiled by msgfmt
// from po/*.po), read by a small reader of our own rather than libc's gettext, which would want
// the process's locale set and generated on the machine before it honours the language.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmor::l10n {

// The catalogues' domain: <locale dir>/<language>/LC_MESSAGES/velmor.mo.
inline constexpr char kDomain[] = "velmor";
// A catalogue larger than this is not ours and is not read.
inline constexpr std::size_t kMaxCatalogBytes = 4 << 20;

// Catalog: one language's translations.
class Catalog {
 public:
  // Parse: the translations in the bytes of a .mo file (either byte order); nullopt when they
  // are malformed: a wrong magic number or major revision, or any table entry or string
  // reaching past the end. Plural forms give their first form; the header entry is left out.
  static std::optional<Catalog> Parse(std::string_view bytes);
  // Load: Parse of the file at `path`; nullopt when it cannot be read or is malformed.
  static std::optional<Catalog> Load(const std::string& path);
  // Find: the translation of `msgid` (borrowed from the catalogue); null when it has none.
  const std::string* Find(std::string_view msgid) const;
  std::size_t size() const { return entries_.size(); }
  const std::unordered_map<std::string, std::string>& entries() const { return entries_; }

 private:
  std::unordered_map<std::string, std::string> entries_;
};

// Languages: the languages to look for, most wanted first, chosen as gettext chooses them from
// the values of LANGUAGE, LC_ALL, LC_MESSAGES and LANG (null: unset). The locale is the first
// set of LC_ALL, LC_MESSAGES, LANG; "C", "POSIX" or none means English and nothing to look
// for; otherwise LANGUAGE's colon-separated list, when set, comes before the locale. Each entry
// loses its codeset and modifier ("zh_CN.UTF-8@x" is "zh_CN") and is followed by its bare
// language ("zh").
std::vector<std::string> Languages(const char* language, const char* lcAll, const char* lcMessages,
                                   const char* lang);

// LocaleDir: where the catalogues are: VELMOR_LOCALEDIR, else ../share/locale beside the
// running program (the build tree's and an installation's alike).
std::string LocaleDir();

// Tr: the translation of `msgid` in the user's language, found once per process in the first
// of Languages() whose catalogue LocaleDir() holds; `msgid` itself when there is none. The
// text is UTF-8 and lives as long as the process.
const char* Tr(const char* msgid) noexcept;

// Format: `text` with each "{0}", "{1}", ... replaced by that argument; others are kept.
std::string Format(std::string_view text, std::initializer_list<std::string_view> args);

}  // namespace velmor::l10n
