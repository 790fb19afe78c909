#ifndef NORVA_UI_MESSAGE_BOX_H_
#define NORVA_UI_MESSAGE_BOX_H_

#include <windows.h>

#include <string>

namespace norva::installer {

// A message box over `owner` with the installer's title, whose buttons say
// Yes, No, OK and Cancel in the current language (with their access keys).
// Returns the button chosen.
int ShowInstallerMessageBox(HWND owner, const std::wstring& text, UINT type);

}  // namespace norva::installer

#endif  // NORVA_UI_MESSAGE_BOX_H_
