#include "product/languages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/strings.h"
#include "support/scratch.h"

namespace norva::installer::l10n {
namespace {

using Codes = std::vector<std::wstring>;

constexpr int kFirstStringId = 37000;
constexpr int kLastStringId = 37060;
constexpr int kLanguageNameId = 37046;

class LanguagesTest : public testing::Test {
 protected:
  void TearDown() override {
    SetPreferredLanguagesForTesting({});
    SetCurrentUiLanguage(0);
  }
};

// "$1" ... in a text, as a sorted set.
std::set<std::wstring> Placeholders(const std::wstring& text) {
  std::set<std::wstring> found;
  static const std::wregex kPlaceholder(L"\\$[0-9]");
  for (std::wsregex_iterator it(text.begin(), text.end(), kPlaceholder), end; it != end; ++it)
    found.insert(it->str());
  return found;
}

TEST_F(LanguagesTest, CarriedCodesMatchWithoutRegardToCase) {
  for (const wchar_t* code : {L"pt-br", L"ZH-tw"}) EXPECT_TRUE(IsLanguageAvailable(code)) << code;
  for (const wchar_t* code : {L"pt", L"", L"en ", L"d\u00e9"})
    EXPECT_FALSE(IsLanguageAvailable(code)) << code;
}

TEST_F(LanguagesTest, LcidTable) {
  struct Case {
    const wchar_t* code;
    unsigned lcid;
  };
  const Case kCases[] = {
      // The rows that are not plain Windows locale identifiers.
      {L"userdefault", 1024}, {L"tl", 1024}, {L"neutral", 0}, {L"fake-bidi", 1037},
      {L"iw", 1037}, {L"he", 1037}, {L"no", 1044}, {L"nb", 1044}, {L"me", 2074},
      // Ordinary rows, any case.
      {L"EN-gb", 2057}, {L"es-419", 2058}, {L"zh-tw", 1028},
      // No row.
      {L"pt", 0}, {L"en-us", 0}, {L"", 0}, {L"xx", 0}};
  for (const Case& c : kCases) EXPECT_EQ(LcidForLanguage(c.code), c.lcid) << c.code;
}

TEST_F(LanguagesTest, ResolvesToACarriedLanguage) {
  struct Case {
    const wchar_t* requested;
    Codes preferred;
    const wchar_t* chosen;
    unsigned lcid;
  };
  const Case kCases[] = {
      // A carried request wins, written back in its carried spelling.
      {L"de", {L"fr-FR"}, L"de", 1031}, {L"PT-br", {L"fr-FR"}, L"pt-BR", 1046},
      {L"pt", {L"fr-FR"}, L"pt-PT", 2070}, {L"no", {L"fr-FR"}, L"nb", 1044},
      // "tl" asks for Filipino, which is not carried; so does nothing.
      {L"tl", {L"fr-FR"}, L"fr", 1036}, {L"", {L"sv-SE"}, L"sv", 1053},
      // The system's preferred names, by language and region.
      {L"xx", {L"en-AU"}, L"en-GB", 2057}, {L"xx", {L"en-za"}, L"en-GB", 2057},
      {L"xx", {L"zh-SG"}, L"zh-CN", 2052}, {L"xx", {L"zh-HK"}, L"zh-TW", 1028},
      {L"xx", {L"zh-mo"}, L"zh-TW", 1028}, {L"xx", {L"es-MX"}, L"es-419", 2058},
      {L"xx", {L"es-ES"}, L"es", 3082}, {L"xx", {L"no-NO"}, L"nb", 1044},
      {L"xx", {L"de-AT"}, L"de", 1031}, {L"xx", {L"pt-BR"}, L"pt-BR", 1046},
      {L"xx", {L"ar-EG"}, L"ar", 1025}, {L"xx", {L"he-IL"}, L"he", 1037},
      {L"xx", {L"fa-IR"}, L"fa", 1065}, {L"xx", {L"hi-IN"}, L"hi", 1081},
      {L"xx", {L"th-TH"}, L"th", 1054}, {L"xx", {L"sr-Cyrl-RS"}, L"sr", 3098},
      {L"HR", {L"fr-FR"}, L"hr", 1050}, {L"xx", {L"ca-ES"}, L"ca", 1027},
      // English of a region not carried by name is English, not the next language.
      {L"xx", {L"en-US", L"de-DE"}, L"en", 1033}, {L"xx", {L"en-IE", L"fr-FR"}, L"en", 1033},
      // Names without a usable "-" are tried unchanged only.
      {L"xx", {L"-de", L"deu", L"fr"}, L"fr", 1036}, {L"xx", {L"-de"}, L"en", 1033},
      {L"xx", {L"sw-KE", L"fil-PH", L"qq"}, L"en", 1033},
  };
  for (const Case& c : kCases) {
    SetPreferredLanguagesForTesting(c.preferred);
    std::wstring code = c.requested;
    EXPECT_EQ(ResolveLanguage(&code), c.lcid) << WideToUtf8(c.requested);
    EXPECT_EQ(code, c.chosen) << WideToUtf8(c.requested) << " " << WideToUtf8(c.preferred[0]);
  }
}

TEST_F(LanguagesTest, SystemPreferredLanguagesGiveACarriedLanguage) {
  std::wstring code = L"xx";
  unsigned lcid = ResolveLanguage(&code);
  EXPECT_TRUE(IsLanguageAvailable(code)) << code;
  EXPECT_EQ(lcid, LcidForLanguage(code));
}

TEST_F(LanguagesTest, StringsByIdAndLanguage) {
  const struct {
    int id;
    const wchar_t* code;
    const wchar_t* text;
  } kCases[] = {
      // 37000 is position 8 of block 2313; 37007 ends that block, 37008 starts block 2314.
      {37000, L"en", L"Norva Installer"},
      {37007, L"en", L"&Accept and install"},
      {37008, L"en", L"&Accept and update"},
      {37060, L"en",
       L"Norva cannot run on this computer because its processor does not support SSE2."},
      // Non-ASCII text survives the resource compiler. Right-to-left and
      // complex scripts are stored in logical (typed) order; "sr" is Serbian
      // in Cyrillic script.
      {kLanguageNameId, L"pt-BR", L"Portugu\u00eas (Brasil)"},
      {kLanguageNameId, L"ja", L"\u65e5\u672c\u8a9e"},
      {kLanguageNameId, L"ar", L"\u0627\u0644\u0639\u0631\u0628\u064a\u0629"},
      {kLanguageNameId, L"he", L"\u05e2\u05d1\u05e8\u05d9\u05ea"},
      {kLanguageNameId, L"fa", L"\u0641\u0627\u0631\u0633\u06cc"},
      {kLanguageNameId, L"hi", L"\u0939\u093f\u0928\u094d\u0926\u0940"},
      {kLanguageNameId, L"th", L"\u0e44\u0e17\u0e22"},
      {kLanguageNameId, L"sr", L"\u0421\u0440\u043f\u0441\u043a\u0438"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(GetLocalizedStringForLanguage(c.id, c.code), c.text) << c.id << " " << c.code;
  // Escaped quotes in the table come out as one quote.
  EXPECT_NE(GetLocalizedStringForLanguage(37005, L"en").find(L"<a href=\"tos\">"),
            std::wstring::npos);
}

// Whether a translation may read exactly as the English text: the product
// name, and words the language writes the same way.
bool MayEqualEnglish(const std::wstring& code, int id) {
  if (id == 37001 || id == 37020) return true;  // "OK", "Norva"
  struct Shared {
    const wchar_t* code;
    int id;
  };
  static constexpr Shared kShared[] = {
      {L"es", 37004}, {L"es-419", 37004}, {L"it", 37004}, {L"ca", 37004},  // "No"
      {L"fr", 37006},                                                      // "Options"
  };
  for (const Shared& shared : kShared)
    if (code == shared.code && id == shared.id) return true;
  return false;
}

bool EndsWith(const std::wstring& text, std::wstring_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST_F(LanguagesTest, EveryLanguageHasEveryString) {
  std::set<std::wstring> names;
  for (const std::wstring& code : AvailableLanguages()) {
    const bool english_variant =
        PRIMARYLANGID(LANGIDFROMLCID(LcidForLanguage(code))) == LANG_ENGLISH;
    for (int id = kFirstStringId; id <= kLastStringId; ++id) {
      std::wstring english = GetLocalizedStringForLanguage(id, L"en");
      if (english.empty()) continue;
      std::wstring text = GetLocalizedStringForLanguage(id, code);
      const std::string where = WideToUtf8(code) + " " + std::to_string(id);
      EXPECT_FALSE(text.empty()) << where;
      if (text.empty()) continue;
      EXPECT_EQ(Placeholders(text), Placeholders(english)) << where;
      if (!english_variant && !MayEqualEnglish(code, id)) {
        EXPECT_NE(text, english) << where << " is not translated";
      }
      // Texts are stored in logical order, right-to-left ones included: what
      // ends the English text ends the translation, and none starts with
      // closing punctuation as visually reversed text would.
      if (EndsWith(english, L"...")) {
        EXPECT_TRUE(EndsWith(text, L"...")) << where;
      }
      if (EndsWith(english, L":")) {
        EXPECT_TRUE(EndsWith(text, L":") || EndsWith(text, L"\uff1a")) << where;
      }
      EXPECT_EQ(std::wstring_view(L".,:;?!\u060c\u061f").find(text.front()), std::wstring::npos)
          << where;
    }
    EXPECT_TRUE(names.insert(GetLocalizedStringForLanguage(kLanguageNameId, code)).second)
        << WideToUtf8(code);
    std::wstring terms = GetLocalizedStringForLanguage(37005, code);
    EXPECT_NE(terms.find(L"<a href=\"tos\">"), std::wstring::npos) << WideToUtf8(code);
    EXPECT_NE(terms.find(L"<a href=\"https://www.norva.example/privacy\">"), std::wstring::npos)
        << WideToUtf8(code);
  }
}

// The access key a text marks with "&", upper-cased; 0 when it marks none,
// more than one, or no letter or digit.
wchar_t AccessKey(const std::wstring& text) {
  wchar_t key = 0;
  int marks = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != L'&') continue;
    if (text[i + 1] != L'&') ++marks, key = text[i + 1];
    ++i;
  }
  if (marks != 1 || !IsCharAlphaNumericW(key)) return 0;
  CharUpperBuffW(&key, 1);
  return key;
}

// The controls of each page whose texts mark an access key; a control's
// alternative texts (the accept button's) may share theirs.
struct PageKeys {
  const char* page;
  std::vector<std::vector<int>> controls;
};
const PageKeys kPageKeys[] = {
    {"welcome", {{37006}, {37007, 37008}}},
    {"terms", {{37009}, {37007, 37008}}},
    {"options",
     {{37009}, {37007, 37008}, {37010}, {37011}, {37012}, {37013}, {37015}, {37016}, {37017}}},
    {"error", {{37009}, {37043}, {37044}}},
    {"uninstall", {{37002}, {37033}, {37032}}},
};

TEST_F(LanguagesTest, EachPageHasDistinctAccessKeys) {
  for (const std::wstring& code : AvailableLanguages()) {
    for (const PageKeys& page : kPageKeys) {
      std::map<wchar_t, size_t> owners;
      for (size_t control = 0; control < page.controls.size(); ++control) {
        for (int id : page.controls[control]) {
          std::wstring text = GetLocalizedStringForLanguage(id, code);
          const std::string where = WideToUtf8(code) + " " + std::to_string(id);
          wchar_t key = AccessKey(text);
          EXPECT_NE(key, 0) << where << ": one access key";
          EXPECT_EQ(WithoutAccessKey(text).find(L'&'), std::wstring::npos) << where;
          auto [owner, added] = owners.emplace(key, control);
          EXPECT_TRUE(added || owner->second == control)
              << where << ": key " << WideToUtf8(std::wstring(1, key)) << " repeats on the "
              << page.page << " page";
        }
      }
    }
  }
}

TEST_F(LanguagesTest, WithoutAccessKey) {
  const std::pair<const wchar_t*, const wchar_t*> kCases[] = {
      {L"&Options", L"Options"},
      {L"B&rowse...", L"Browse..."},
      {L"Save && &quit", L"Save & quit"},
      {L"\u30aa\u30d7\u30b7\u30e7\u30f3(&O)", L"\u30aa\u30d7\u30b7\u30e7\u30f3"},
      {L"\u53c2\u7167(&R)...", L"\u53c2\u7167..."},
      {L"\u8bed\u8a00(&L)\uff1a", L"\u8bed\u8a00\uff1a"},
      {L"Options (&O)", L"Options"},
      {L"(&&) and (&)", L"(&) and ()"},
      {L"Plain", L"Plain"},
      {L"Ends&", L"Ends"},
      {L"", L""},
  };
  for (const auto& [marked, plain] : kCases)
    EXPECT_EQ(WithoutAccessKey(marked), plain) << WideToUtf8(marked);
}

// The languages that the string table block holding `id` is written in.
std::set<LANGID> BlockLanguages(int id) {
  std::set<LANGID> languages;
  EnumResourceLanguagesW(
      GetModuleHandleW(nullptr), RT_STRING, MAKEINTRESOURCEW(id / 16 + 1),
      [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) -> BOOL {
        reinterpret_cast<std::set<LANGID>*>(found)->insert(language);
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&languages));
  return languages;
}

TEST_F(LanguagesTest, EachCarriedLanguageHasATableOfItsOwnLanguage) {
  // Strings are looked up by the exact language of the code's LCID, so each
  // table must declare that language and sublanguage, and no table is left
  // that no carried code reaches.
  for (int id : {kFirstStringId, kLanguageNameId, kLastStringId}) {
    std::set<LANGID> tables = BlockLanguages(id);
    for (const std::wstring& code : AvailableLanguages()) {
      LANGID language = LANGIDFROMLCID(LcidForLanguage(code));
      EXPECT_NE(language, 0) << WideToUtf8(code);
      EXPECT_EQ(tables.count(language), 1u)
          << WideToUtf8(code) << ": no table in language " << language << " for " << id;
    }
    // Fewer languages than codes would mean two codes share one table.
    EXPECT_EQ(tables.size(), AvailableLanguages().size()) << id;
  }
}

TEST_F(LanguagesTest, CurrentUiLanguageAndSubstitution) {
  SetCurrentUiLanguage(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
  EXPECT_EQ(GetCurrentUiLanguage(), 1031);
  EXPECT_EQ(GetLocalizedString(37002), L"&Abbrechen");

  SetCurrentUiLanguage(LANGIDFROMLCID(LcidForLanguage(L"en")));
  EXPECT_EQ(GetLocalizedString(37019, {GetLocalizedString(37020)}), L"Welcome to Norva");
  // A replacement is inserted as it is, never expanded again.
  EXPECT_EQ(GetLocalizedString(37054, {L"D:\\$2\\$1"}), L"The folder D:\\$2\\$1 could not be created.");
  EXPECT_EQ(GetLocalizedString(37057, {}), L"The file $1 could not be copied.");

  // Neutral falls back to a language the executable carries.
  SetCurrentUiLanguage(0);
  EXPECT_FALSE(GetLocalizedString(37000).empty());
}

TEST_F(LanguagesTest, MissingStrings) {
  // Empty, and the log says why in the system's words.
  const struct {
    const char* name;
    std::wstring (*load)();
    const char* error;
  } kCases[] = {
      {"no block 2319", [] { return GetLocalizedStringForLanguage(37100, L"en"); },
       "(0x716)"},  // ERROR_RESOURCE_NAME_NOT_FOUND
      {"language not carried", [] { return GetLocalizedStringForLanguage(37000, L"sw"); },
       "(0x717)"},  // ERROR_RESOURCE_LANG_NOT_FOUND
      {"negative id", [] { return GetLocalizedString(-1); }, "(0x716)"},
      {"id beyond 16 bits", [] { return GetLocalizedString(0x10000); }, "(0x716)"},
  };
  for (const auto& c : kCases) {
    test::LogCapture log;
    EXPECT_EQ(c.load(), L"") << c.name;
    std::vector<std::string> lines = log.Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find("Failed to find string: ") != std::string::npos &&
             line.ends_with(c.error);
    })) << c.name;
  }
  // An id without text inside a carried block is empty, and no failure.
  test::LogCapture log;
  EXPECT_EQ(GetLocalizedStringForLanguage(37061, L"en"), L"");
  EXPECT_FALSE(log.Contains("Failed to"));
}

}  // namespace
}  // namespace norva::installer::l10n
