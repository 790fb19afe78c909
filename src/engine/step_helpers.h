#ifndef NORVA_ENGINE_STEP_HELPERS_H_
#define NORVA_ENGINE_STEP_HELPERS_H_

namespace norva::installer {

// Tells the shell and the top-level windows that the browser registrations
// changed.
void NotifyShellOfClientChange();

}  // namespace norva::installer

#endif  // NORVA_ENGINE_STEP_HELPERS_H_
