#ifndef NORVA_ENGINE_STEP_HELPERS_H_
#define NORVA_ENGINE_STEP_HELPERS_H_

#include <functional>
#include <string>

namespace norva::installer {

// Tells the shell and the top-level windows that the browser registrations
// changed.
void NotifyShellOfClientChange();

// Tests: told the command line that would open the uninstall survey, which
// is then not started (it opens Internet Explorer). Null starts it again.
void SetSurveyLaunchForTesting(std::function<void(const std::wstring& command)> launch);

}  // namespace norva::installer

#endif  // NORVA_ENGINE_STEP_HELPERS_H_
