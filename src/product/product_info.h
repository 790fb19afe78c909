#ifndef NORVA_PRODUCT_PRODUCT_INFO_H_
#define NORVA_PRODUCT_PRODUCT_INFO_H_

#include <string>
#include <string_view>

#include "base/file_path.h"

// Facts about the product being installed: constants fixed by this build and
// the branding record carried by the host executable (resource "TXT" 133).
// Every accessor may be called from any thread.
namespace norva::installer::product {

// Build constants.
std::string EngineVersion();     // "50.0.2645.4"
int EngineMajor();               // leading component of EngineVersion()
int BuildNumber();               // 2163
int BuildId();                   // 607844
int BuildsetId();                // 231155
std::string BuildRequestTime();  // "20160308_230051"
int StreamId();                  // 2
std::string InternalStreamName();  // "developer"
std::string StreamDisplayName();   // "Developer", "Next", "Stable" or the internal name
std::string StreamDisplayNameFor(int stream_id);

// Derived facts.
std::string ProductVersion();       // "37.0.2163.0"
int ProductMajorVersion();          // 37 + major_delta
std::string BuildNumberString();    // "2163.0"
std::string FullVisibleName();      // "Norva developer"
std::string EditionSuffix();        // " (Edition developer)"

// Branding record keys.
std::string CompanyName();
std::string CrashLogProductSuffix();
std::string DefaultProfilePathTemplate();
std::string Domain();
std::string ExpectedSigner();
std::string FileNameBase();
int MajorDelta();
std::string ProductName();
bool ScheduleAutoupdateTask();
std::string ShortcutSuffix();
bool UseEngineMajorForMinor();
std::string UserAgentName();
std::string VisibleProductName();
bool WhiteLabeled();
// One entry of the "urls" object; empty when absent.
std::string Url(std::string_view key);

// Reads a key of the record by dotted path ("urls.help"), with the record's
// defaults for absent or mistyped keys.
std::string GetBrandingString(std::string_view dotted_path);
int GetBrandingInt(std::string_view dotted_path);
bool GetBrandingBool(std::string_view dotted_path);

// The record's text from the fallback module in `folder` (the executable's
// own), for hosts that do not carry the resource; empty without one.
std::string LoadFallbackBrandingText(const FilePath& folder);

// Replaces the record with `json_text` (parsed the same way as the resource).
// For tests that check derived values under another branding.
void SetBrandingForTesting(std::string_view json_text);
// Loads the resource again on next use.
void ResetBrandingForTesting();
// Overrides the build's stream id; a negative value restores it.
void SetStreamIdForTesting(int stream_id);

}  // namespace norva::installer::product

#endif  // NORVA_PRODUCT_PRODUCT_INFO_H_
