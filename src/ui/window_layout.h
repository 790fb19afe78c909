#ifndef NORVA_UI_WINDOW_LAYOUT_H_
#define NORVA_UI_WINDOW_LAYOUT_H_

#include <windows.h>

// Placing the controls of the installer window: mirroring for languages
// written right to left, and buttons that fit their text.
namespace norva::installer {

bool IsRightToLeft(LANGID language);

// Moves `child` to its mirror position in `parent`.
void MirrorPosition(HWND parent, HWND child);

// Moves `child` of `parent` to its mirror position and flips its layout;
// `panel` keeps its layout, as its own children are mirrored one by one, and
// so does the logo, which is a picture.
void MirrorChild(HWND parent, HWND child, HWND panel);
// MirrorChild for every child of `parent`.
void MirrorChildren(HWND parent, HWND panel);

// Sizes `button` of `dialog` to its text, at least as wide as a standard
// button and no wider than the room up to the window's margin. It keeps the
// edge that faces its neighbour: the right one, or the left one in a mirrored
// window.
void FitButtonToText(HWND dialog, HWND button, bool mirrored);

}  // namespace norva::installer

#endif  // NORVA_UI_WINDOW_LAYOUT_H_
