#include "product/languages.h"

#include <atomic>
#include <cstdlib>
#include <iterator>
#include <mutex>

#include "base/logging.h"
#include "base/module_resource.h"
#include "base/strings.h"
#include "product/resource_ids.h"

namespace norva::installer::l10n {
namespace {

constexpr wchar_t kFallbackLanguage[] = L"en";

struct LcidRow {
  const wchar_t* code;
  unsigned lcid;
};

// Windows locale identifiers, except where this installer decides otherwise:
// "userdefault" and "tl" mean the user's default locale, "neutral" none,
// "fake-bidi", "iw" and "he" are Hebrew, "no" is Bokmal, "me" (Montenegrin) is
// Serbian in Latin script.
constexpr LcidRow kLcidTable[] = {
    {L"az", 1068}, {L"el", 1032}, {L"gu", 1095}, {L"en", 1033}, {L"userdefault", 1024},
    {L"fr-ca", 3084}, {L"vi", 1066}, {L"ca", 1027}, {L"fake-bidi", 1037}, {L"am", 1118},
    {L"it", 1040}, {L"iw", 1037}, {L"kn", 1099}, {L"zh-hk", 3076}, {L"ar", 1025}, {L"ml", 1100},
    {L"zu", 1077}, {L"cs", 1029}, {L"et", 1061}, {L"gl", 1110}, {L"id", 1057}, {L"es", 3082},
    {L"en-gb", 2057}, {L"ru", 1049}, {L"eu", 1069}, {L"nl", 1043}, {L"nn", 2068}, {L"no", 1044},
    {L"nb", 1044}, {L"af", 1078}, {L"tr", 1055}, {L"tl", 1024}, {L"lv", 1062}, {L"lt", 1063},
    {L"pa", 1094}, {L"sw", 1089}, {L"th", 1054}, {L"te", 1098}, {L"ro", 1048}, {L"is", 1039},
    {L"fil", 1124}, {L"ta", 1097}, {L"be", 1059}, {L"fr", 1036}, {L"bg", 1026}, {L"ms", 1086},
    {L"sl", 1060}, {L"hr", 1050}, {L"fy", 1122}, {L"bn", 1093}, {L"de", 1031}, {L"hu", 1038},
    {L"fa", 1065}, {L"neutral", 0}, {L"hi", 1081}, {L"pt-br", 1046}, {L"sa", 1103},
    {L"fi", 1035}, {L"da", 1030}, {L"ja", 1041}, {L"kk", 1087}, {L"he", 1037}, {L"me", 2074},
    {L"es-419", 2058}, {L"ne", 1121}, {L"pt-pt", 2070}, {L"zh-tw", 1028}, {L"uz", 1091},
    {L"ko", 1042}, {L"sv", 1053}, {L"mk", 1071}, {L"ur", 1056}, {L"sk", 1051}, {L"zh-cn", 2052},
    {L"si", 1115}, {L"gd", 1169}, {L"pl", 1045}, {L"uk", 1058}, {L"sr", 3098}, {L"ti", 2163},
    {L"mr", 1102}, {L"or", 1096},
};
static_assert(std::size(kLcidTable) == 82);

bool Equals(std::wstring_view a, std::wstring_view b) { return EqualsCaseInsensitiveASCII(a, b); }

std::string LoadLanguageList() {
  std::string_view text = ModuleResource(IDR_LANGUAGES, L"TXT");
  // The resource compiler may pad the text with zero bytes.
  return std::string(text.substr(0, text.find('\0')));
}

// The carried spelling of `code`, or empty when it is not carried.
std::wstring FindAvailable(std::wstring_view code) {
  if (code.empty() || !IsStringASCII(code)) return {};
  for (const std::wstring& language : AvailableLanguages()) {
    if (Equals(language, code)) return language;
  }
  return {};
}

std::wstring NormalizeRequested(std::wstring_view code) {
  if (Equals(code, L"no")) return L"nb";
  if (Equals(code, L"pt")) return L"pt-PT";
  if (Equals(code, L"tl")) return L"fil";
  return std::wstring(code);
}

// The carried language closest to a language name such as "en-AU".
std::wstring CandidateForRegion(std::wstring_view language, std::wstring_view region) {
  if (Equals(language, L"es")) return Equals(region, L"es") ? L"es" : L"es-419";
  if (Equals(language, L"zh"))
    return Equals(region, L"hk") || Equals(region, L"mo") ? L"zh-TW" : L"zh-CN";
  if (Equals(language, L"en")) {
    for (const wchar_t* british : {L"au", L"ca", L"nz", L"za"})
      if (Equals(region, british)) return L"en-GB";
    return L"en";
  }
  if (Equals(language, L"no")) return L"nb";
  if (Equals(language, L"fil")) return L"tl";
  return std::wstring(language);
}

std::wstring AvailableForPreferredName(const std::wstring& name) {
  std::wstring chosen = FindAvailable(name);
  if (!chosen.empty()) return chosen;
  size_t dash = name.find(L'-');
  if (dash == std::wstring::npos || dash == 0) return {};
  std::wstring_view view(name);
  return FindAvailable(CandidateForRegion(view.substr(0, dash), view.substr(dash + 1)));
}

std::mutex g_preferred_lock;
std::vector<std::wstring>* g_preferred_for_testing = nullptr;

using PreferredUILanguagesFunction = BOOL(WINAPI*)(DWORD, PULONG, PZZWSTR, PULONG);

std::vector<std::wstring> CallPreferredUILanguages(const char* function_name, DWORD flags) {
  // Vista and later; the installer still starts on older systems.
  auto function = reinterpret_cast<PreferredUILanguagesFunction>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), function_name)));
  ULONG count = 0;
  ULONG size = 0;
  if (!function || !function(flags, &count, nullptr, &size) || size == 0) return {};
  std::wstring buffer(size, L'\0');
  if (!function(flags, &count, buffer.data(), &size)) return {};
  std::vector<std::wstring> names;
  for (const wchar_t* name = buffer.c_str(); *name; name += names.back().size() + 1)
    names.emplace_back(name);
  return names;
}

std::vector<std::wstring> PreferredLanguages() {
  {
    std::lock_guard<std::mutex> hold(g_preferred_lock);
    if (g_preferred_for_testing) return *g_preferred_for_testing;
  }
  // The merged list (thread, process, user, system languages and their
  // fallbacks) is what the resource loader itself uses. Only the thread query
  // accepts the merge flags; the user query refuses them.
  std::vector<std::wstring> names = CallPreferredUILanguages(
      "GetThreadPreferredUILanguages",
      MUI_LANGUAGE_NAME | MUI_MERGE_USER_FALLBACK | MUI_MERGE_SYSTEM_FALLBACK);
  if (names.empty())
    names = CallPreferredUILanguages("GetUserPreferredUILanguages", MUI_LANGUAGE_NAME);
  return names;
}

std::wstring LoadStringInLanguage(int id, LANGID language) {
  HMODULE module = GetModuleHandleW(nullptr);
  // Strings live in blocks of sixteen; block n holds ids (n - 1) * 16 to n * 16 - 1.
  // A neutral language lets the resource loader fall back to the user's,
  // the system's or English.
  HRSRC found = nullptr;
  if (id >= 0 && id <= 0xFFFF) {
    found = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
  } else {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  }
  if (!found) {
    PLOG(ERROR) << "Failed to find string";
    return {};
  }
  HGLOBAL loaded = LoadResource(module, found);
  if (!loaded) {
    PLOG(ERROR) << "Failed to load string";
    return {};
  }
  const wchar_t* entry = static_cast<const wchar_t*>(LockResource(loaded));
  if (!entry) {
    PLOG(ERROR) << "Failed to lock string";
    return {};
  }
  // Each entry is a 16-bit length and that many UTF-16 code units; a damaged
  // block must not lead the reader past its end.
  const wchar_t* end = entry + SizeofResource(module, found) / sizeof(wchar_t);
  for (int position = id % 16; position > 0 && entry < end; --position) entry += 1 + *entry;
  if (entry >= end || *entry > end - entry - 1) return {};
  return std::wstring(entry + 1, *entry);
}

std::atomic<std::atomic<LANGID>*> g_current_ui_language{nullptr};

void ReleaseCurrentUiLanguage() { delete g_current_ui_language.exchange(nullptr); }

std::atomic<LANGID>& CurrentUiLanguage() {
  std::atomic<LANGID>* current = g_current_ui_language.load(std::memory_order_acquire);
  if (current) return *current;
  auto* created = new std::atomic<LANGID>(0);
  if (g_current_ui_language.compare_exchange_strong(current, created,
                                                    std::memory_order_acq_rel)) {
    std::atexit(ReleaseCurrentUiLanguage);
    return *created;
  }
  delete created;  // Another thread was first; `current` is its instance.
  return *current;
}

}  // namespace

std::vector<std::wstring> AvailableLanguages() {
  std::vector<std::wstring> languages;
  for (const std::string& line : SplitString(LoadLanguageList(), '\n'))
    languages.push_back(AsciiToWide(TrimWhitespaceASCII(line)));
  return languages;
}

bool IsLanguageAvailable(std::wstring_view code) { return !FindAvailable(code).empty(); }

unsigned LcidForLanguage(std::wstring_view code) {
  VLOG(1) << "Looking up LCID for " << code;
  for (const LcidRow& row : kLcidTable) {
    if (Equals(row.code, code)) return row.lcid;
  }
  return 0;
}

unsigned ResolveLanguage(std::wstring* code) {
  std::wstring chosen = FindAvailable(NormalizeRequested(*code));
  if (chosen.empty()) {
    for (const std::wstring& name : PreferredLanguages()) {
      chosen = AvailableForPreferredName(name);
      if (!chosen.empty()) break;
    }
  }
  if (chosen.empty()) chosen = kFallbackLanguage;
  *code = chosen;
  return LcidForLanguage(chosen);
}

void SetPreferredLanguagesForTesting(std::vector<std::wstring> languages) {
  std::lock_guard<std::mutex> hold(g_preferred_lock);
  delete g_preferred_for_testing;
  g_preferred_for_testing =
      languages.empty() ? nullptr : new std::vector<std::wstring>(std::move(languages));
}

std::wstring GetLocalizedString(int id) { return LoadStringInLanguage(id, GetCurrentUiLanguage()); }

std::wstring GetLocalizedString(int id, const std::vector<std::wstring>& replacements) {
  return ReplaceStringPlaceholders(GetLocalizedString(id), replacements);
}

std::wstring GetLocalizedStringForLanguage(int id, std::wstring_view code) {
  return LoadStringInLanguage(id, LANGIDFROMLCID(LcidForLanguage(code)));
}

std::wstring WithoutAccessKey(std::wstring_view text) {
  std::wstring plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, 2) == L"(&" && i + 3 < text.size() && text[i + 2] != L'&' &&
        text[i + 3] == L')') {
      if (!plain.empty() && plain.back() == L' ') plain.pop_back();
      i += 3;
      continue;
    }
    if (text[i] == L'&' && ++i == text.size()) break;
    plain += text[i];
  }
  return plain;
}

LANGID GetCurrentUiLanguage() { return CurrentUiLanguage().load(std::memory_order_relaxed); }

void SetCurrentUiLanguage(LANGID language) {
  CurrentUiLanguage().store(language, std::memory_order_relaxed);
}

}  // namespace norva::installer::l10n
