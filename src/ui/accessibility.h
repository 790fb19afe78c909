#ifndef NORVA_UI_ACCESSIBILITY_H_
#define NORVA_UI_ACCESSIBILITY_H_

#include <windows.h>

#include <optional>
#include <string>

namespace norva::installer {

// Makes every child control of `parent` (and theirs) heard by screen readers
// the same way wherever the system's own objects for standard controls fall
// short: the role the control plays (push button, check box, list, progress
// bar, text); its name, which is its text without the access-key mark, or
// the text of the label before it for a list; the state of its window
// (focusable, focused, unavailable, checked, hidden, read-only, default
// button); a progress bar's percentage as its value.
// The system's objects stay in charge of the controls, so that UI Automation
// keeps its own providers for them; what they say wrong (names, and the role
// and state of read-only texts and pictures) is corrected by annotating them.
// Only where the system does not honour annotations does a control answer
// screen readers itself, with the system's object under its corrections.
void ExposeToScreenReaders(HWND parent);

// Makes `picture` (a static control the window paints) a picture named
// `name` for screen readers.
void NamePicture(HWND picture, const std::wstring& name);

// Tells screen readers that the focus is (again) on the focused control,
// as after a page change that kept the focus where it was.
void AnnounceFocus();

// Whether the system honours annotations is found out by trying one on the
// parent; `honoured` answers instead (std::nullopt: try again).
void SetAnnotationsHonouredForTesting(std::optional<bool> honoured);

}  // namespace norva::installer

#endif  // NORVA_UI_ACCESSIBILITY_H_
