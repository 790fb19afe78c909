#ifndef NORVA_UI_ACCESSIBILITY_H_
#define NORVA_UI_ACCESSIBILITY_H_

#include <windows.h>

#include <string>

namespace norva::installer {

// Makes every child control of `parent` (and theirs) answer screen readers
// itself, so that they hear the same wherever the system's own objects for
// standard controls fall short: the role the control plays (push button,
// check box, list, progress bar, text); its name, which is its text
// without the access-key mark, or the text of the label before it for a list;
// the state of its window (focusable, focused, unavailable, checked, hidden,
// read-only, default button); a progress bar's percentage as its value.
// Everything else comes from the system's object for the control.
void ExposeToScreenReaders(HWND parent);

// Makes `picture` (a static control the window paints) a picture named
// `name` for screen readers.
void NamePicture(HWND picture, const std::wstring& name);

// Tells screen readers that the focus is (again) on the focused control,
// as after a page change that kept the focus where it was.
void AnnounceFocus();

}  // namespace norva::installer

#endif  // NORVA_UI_ACCESSIBILITY_H_
