#ifndef NORVA_APP_HELP_TEXT_H_
#define NORVA_APP_HELP_TEXT_H_

#include <string>

namespace norva::installer {

// The whole help text: switches, languages and experiments.
std::string BuildHelpText();

// Prints the help text on a console of its own and waits for a key. Prints
// nothing when no console can be bound.
void ShowHelp();

}  // namespace norva::installer

#endif  // NORVA_APP_HELP_TEXT_H_
