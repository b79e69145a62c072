// The catalogues of the native texts: the language chosen from the environment as gettext
// chooses it, .mo files made by msgfmt (both byte orders) read back, damaged ones refused, and
// every text the sources mark for translation translated in every language, placeholders kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/l10n/catalog.h"
#include "tests/support/pki.h"

namespace {

namespace fs = std::filesystem;
namespace l10n = velmor::l10n;
namespace pki = velmor::testing;

struct LanguageCase {
  const char *language, *lcAll, *lcMessages, *lang;
  std::vector<std::string> expected;
};

class Languages : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(Languages, FollowTheEnvironment) {
  const LanguageCase& c = GetParam();
  EXPECT_EQ(l10n::Languages(c.language, c.lcAll, c.lcMessages, c.lang), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Languages,
    ::testing::Values(
        LanguageCase{nullptr, nullptr, nullptr, nullptr, {}},
        LanguageCase{nullptr, nullptr, nullptr, "C.UTF-8", {}},
        LanguageCase{"zh_CN", nullptr, nullptr, "POSIX", {}},  // LANGUAGE is ignored in the C locale
        LanguageCase{nullptr, nullptr, nullptr, "zh_CN.UTF-8", {"zh_CN", "zh"}},
        LanguageCase{nullptr, nullptr, nullptr, "zh_CN.GB18030@x", {"zh_CN", "zh"}},
        LanguageCase{nullptr, nullptr, "zh_CN.UTF-8", "de_DE.UTF-8", {"zh_CN", "zh"}},
        LanguageCase{nullptr, "de_DE.UTF-8", "zh_CN.UTF-8", "fr_FR", {"de_DE", "de"}},
        LanguageCase{nullptr, "", "", "zh_CN.UTF-8", {"zh_CN", "zh"}},  // empty counts as unset
        LanguageCase{"en:zh_CN", nullptr, nullptr, "zh_CN.UTF-8", {"en", "zh_CN", "zh"}},
        LanguageCase{"::zh_TW:", nullptr, nullptr, "zh_CN.UTF-8", {"zh_TW", "zh", "zh_CN"}}));

// Compile: the .mo file msgfmt makes of `po` with `endianness`.
std::string Compile(const fs::path& dir, const std::string& po, const char* endianness) {
  const fs::path in = dir / "t.po";
  const fs::path out = dir / (std::string(endianness) + ".mo");
  std::ofstream(in) << po;
  const pki::CommandResult r = pki::Run("msgfmt --endianness=" + std::string(endianness) + " -o '" +
                                        out.string() + "' '" + in.string() + "' 2>&1");
  EXPECT_EQ(r.status, 0) << r.output;
  const std::vector<std::uint8_t> bytes = pki::ReadFile(out);
  return std::string(bytes.begin(), bytes.end());
}

const char kPo[] = R"(msgid ""
msgstr "Content-Type: text/plain; charset=UTF-8\n"

msgid "Token PIN"
msgstr "令牌 PIN"

msgid "one\ntwo {0}"
msgstr "一\n二 {0}"

msgid "file"
msgid_plural "files"
msgstr[0] "文件"

msgid "untranslated"
msgstr ""
)";

TEST(Catalog, ReadsWhatMsgfmtWrites) {
  pki::TempDataHome dir;
  for (const char* endianness : {"little", "big"}) {
    const auto catalog = l10n::Catalog::Parse(Compile(dir.path(), kPo, endianness));
    ASSERT_TRUE(catalog) << endianness;
    EXPECT_EQ(catalog->size(), 3u);
    ASSERT_TRUE(catalog->Find("Token PIN"));
    EXPECT_EQ(*catalog->Find("Token PIN"), "令牌 PIN");
    EXPECT_EQ(*catalog->Find("one\ntwo {0}"), "一\n二 {0}");
    EXPECT_EQ(*catalog->Find("file"), "文件");
    EXPECT_EQ(catalog->Find("untranslated"), nullptr);
    EXPECT_EQ(catalog->Find(""), nullptr);  // the header is no translation
  }
}

// Every cut of a catalogue loses strings at its end, and every corrupted table offset points
// outside: each is refused, none read out of bounds (the ASan build checks).
TEST(Catalog, RefusesDamagedFiles) {
  pki::TempDataHome dir;
  const std::string mo = Compile(dir.path(), kPo, "little");
  for (std::size_t size = 0; size < mo.size(); ++size) {
    EXPECT_FALSE(l10n::Catalog::Parse(std::string_view(mo).substr(0, size))) << size;
  }
  for (std::size_t at : {8u, 12u, 16u}) {  // count, originals' and translations' offsets
    std::string bad = mo;
    bad[at + 3] = '\x7f';
    EXPECT_FALSE(l10n::Catalog::Parse(bad)) << at;
  }
  std::string wrongMagic = mo;
  wrongMagic[0] ^= 1;
  EXPECT_FALSE(l10n::Catalog::Parse(wrongMagic));
}

TEST(Catalog, FormatReplacesNumberedPlaceholders) {
  EXPECT_EQ(l10n::Format("{1} / {0} / {2} / {x}", {"a", "b"}), "b / a / {2} / {x}");
  EXPECT_EQ(l10n::Format("{0}", {"{1}", "z"}), "{1}");  // a replacement is not read again
}

std::multiset<std::string> Placeholders(const std::string& text) {
  static const std::regex placeholder("\\{[0-9]\\}");
  std::multiset<std::string> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), placeholder); it != std::sregex_iterator(); ++it) {
    found.insert(it->str());
  }
  return found;
}

// The texts the sources mark with Tr(), as xgettext extracts them, each in every built
// catalogue with the same placeholders.
TEST(Catalog, EveryMessageHasEveryTranslation) {
  const char* source = std::getenv("VELMOR_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  pki::TempDataHome dir;
  const fs::path pot = dir.path() / "velmor.pot";
  const fs::path ids = dir.path() / "ids.mo";
  const pki::CommandResult extracted = pki::Run(
      "cd '" + std::string(source) + "' && grep -rl --include='*.cpp' 'Tr(\"' hosts platform control resources | "
      "LC_ALL=C sort | xargs xgettext --language=C++ --keyword=Tr --from-code=UTF-8 -o '" + pot.string() +
      "' && msgen '" + pot.string() + "' | msgfmt -o '" + ids.string() + "' - 2>&1");
  ASSERT_EQ(extracted.status, 0) << extracted.output;
  const auto english = l10n::Catalog::Load(ids.string());
  ASSERT_TRUE(english);
  ASSERT_GT(english->size(), 50u);  // doctor's and the PIN dialog's texts

  const fs::path locale = l10n::LocaleDir();
  std::vector<std::string> languages;
  for (const auto& entry : fs::directory_iterator(locale)) languages.push_back(entry.path().filename().string());
  ASSERT_FALSE(languages.empty()) << locale;
  EXPECT_NE(std::find(languages.begin(), languages.end(), "zh_CN"), languages.end());
  for (const std::string& language : languages) {
    const auto catalog = l10n::Catalog::Load((locale / language / "LC_MESSAGES/velmor.mo").string());
    ASSERT_TRUE(catalog) << language;
    std::size_t checked = 0;
    for (const auto& entry : english->entries()) {
      const std::string& msgid = entry.first;
      const std::string* translated = catalog->Find(msgid);
      EXPECT_NE(translated, nullptr) << language << " lacks: " << msgid;
      if (translated != nullptr) {
        EXPECT_EQ(Placeholders(*translated), Placeholders(msgid)) << language << ": " << msgid;
      }
      ++checked;
    }
    EXPECT_EQ(checked, english->size());
  }
}

}  // namespace
