#ifndef NORVA_ENGINE_STEP_HELPERS_H_
#define NORVA_ENGINE_STEP_HELPERS_H_

#include <filesystem>

namespace norva::installer {

// Whether a path read from a files list or an install log stays inside the
// folder it is joined to: relative, no drive, no empty, "." or ".."
// component. Whoever can write the installation folder can edit its log.
bool IsSafeRelativePath(const std::filesystem::path& path);

// Tells the shell and the top-level windows that the browser registrations
// changed.
void NotifyShellOfClientChange();

}  // namespace norva::installer

#endif  // NORVA_ENGINE_STEP_HELPERS_H_
