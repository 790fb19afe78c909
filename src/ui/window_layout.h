#ifndef NORVA_UI_WINDOW_LAYOUT_H_
#define NORVA_UI_WINDOW_LAYOUT_H_

#include <windows.h>

#include "ui/dialog_template.h"

// Placing the controls of the installer window: mirroring for languages
// written right to left, and buttons that fit their text.
namespace norva::installer {

bool IsRightToLeft(LANGID language);

// Moves `child` to its mirror position in `parent`.
void MirrorPosition(HWND parent, HWND child);

// Moves `child` of `parent` to its mirror position and flips its layout, and
// a combo box's drop-down list with it; `panel` keeps its layout, as its own
// children are mirrored one by one, and so does the logo, which is a picture.
void MirrorChild(HWND parent, HWND child, HWND panel);
// MirrorChild for every child of `parent`.
void MirrorChildren(HWND parent, HWND panel);
// A control of a template of a `dialog` units wide dialog, made mirrored:
// at its mirror position and, but for the logo, laid out right to left. A
// combo box made so makes its drop-down list right to left too, which a
// combo mirrored once made does not.
void MirrorTemplateControl(SIZE dialog, TemplateControl& control);

// The DPI `window` is drawn at: its monitor's on Windows 10 1607 and later,
// the system's before, where every window has that one.
int WindowDpi(HWND window);
// The system's DPI, which GetSystemMetrics and the screen's LOGPIXELSY
// follow in a process aware of each monitor's DPI.
int SystemDpi();
// GetSystemMetrics(metric) for a window drawn at `dpi`.
int SystemMetricForDpi(int metric, int dpi);

// The template's font at `dpi`; the caller owns it.
HFONT CreateDialogFont(const DialogLayout& layout, int dpi);
// The dialog units of `font` as the dialog manager measures them: the
// average width of the Latin letters and the height of a line.
SIZE DialogBaseUnits(HFONT font);
// Puts `dialog`'s controls of `layout` where the template places them in
// `font`, which they take, as the dialog manager would at creation; in a
// `mirrored` dialog each takes its mirror position.
void LayOutControls(HWND dialog, const DialogLayout& layout, HFONT font, bool mirrored);
// Places `child`, a dialog made from `layout` inside `parent`, where its
// template puts it in `font`, mirrored or not, and at its template's size.
void PlaceChildDialog(HWND parent, HWND child, const DialogLayout& layout, HFONT font,
                      bool mirrored);

// Windows 10 1703 and later scale a dialog's controls and fonts themselves
// when its DPI changes, from their sizes at the time: the window lays
// `dialog` out again from its template instead, in its own fonts.
void TakeOverDpiScaling(HWND dialog);

// Sizes `button` of `dialog` to its text, at least as wide as a standard
// button and no wider than the room up to the window's margin. It keeps the
// edge that faces its neighbour: the right one, or the left one in a mirrored
// window.
// `dpi` is the window's.
void FitButtonToText(HWND dialog, HWND button, bool mirrored, int dpi);

}  // namespace norva::installer

#endif  // NORVA_UI_WINDOW_LAYOUT_H_
