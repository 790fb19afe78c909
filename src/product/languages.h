#ifndef NORVA_PRODUCT_LANGUAGES_H_
#define NORVA_PRODUCT_LANGUAGES_H_

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

// The languages the installer carries, the choice of one of them, and the
// installer's strings in that language. Both the language list ("TXT" 134)
// and the string tables are resources of the main executable module.
namespace norva::installer::l10n {

// Codes in resource order, one per line of the list; empty lines are kept.
std::vector<std::wstring> AvailableLanguages();
// True when `code` is ASCII and equals a carried code, ignoring case. An
// empty code is never available.
bool IsLanguageAvailable(std::wstring_view code);

// The Windows locale identifier of a language code, ignoring case; 0 when
// the code is unknown.
unsigned LcidForLanguage(std::wstring_view code);

// Turns the requested `code` into a carried language (the requested one, one
// of the user's preferred UI languages, or "en"), writes it back and returns
// its LCID.
unsigned ResolveLanguage(std::wstring* code);

// Replaces the system's preferred UI languages for ResolveLanguage; an empty
// list asks the system again.
void SetPreferredLanguagesForTesting(std::vector<std::wstring> languages);

// The string `id` in the current UI language; empty when it cannot be loaded.
std::wstring GetLocalizedString(int id);
// The same with "$1", "$2", ... replaced by `replacements`.
std::wstring GetLocalizedString(int id, const std::vector<std::wstring>& replacements);
// The string `id` in the language of `code`.
std::wstring GetLocalizedStringForLanguage(int id, std::wstring_view code);

// A control's text as read where its access key is not drawn: "&" before a
// character is dropped, "&&" becomes "&", and an appended key "(&X)" goes
// with the space before it.
std::wstring WithoutAccessKey(std::wstring_view text);

// The language the installer's texts are shown in; 0 (neutral) until set,
// which lets resource look-ups fall back to the executable's default.
LANGID GetCurrentUiLanguage();
void SetCurrentUiLanguage(LANGID language);

}  // namespace norva::installer::l10n

#endif  // NORVA_PRODUCT_LANGUAGES_H_
