#ifndef NORVA_UI_WINDOW_PAINTER_H_
#define NORVA_UI_WINDOW_PAINTER_H_

#include <windows.h>

#include <iterator>
#include <optional>
#include <string>

#include "product/resource_ids.h"
#include "ui/window_images.h"

namespace norva::installer {

// Whether the user has chosen a high-contrast theme.
bool IsHighContrastOn();
// Wine answers SPI_GETHIGHCONTRAST but cannot switch the mode: a test gives
// the answer instead of the system; std::nullopt asks the system again.
void SetHighContrastForTesting(std::optional<bool> on);
// Wine's rich edit cannot draw on another device context: a test puts a
// stand-in in place of RenderRichText; nullptr puts it back.
using RichTextRenderer = LONG (*)(HWND control, HDC dc, bool draw);
void SetRichTextRendererForTesting(RichTextRenderer renderer);

// Paints the installer window: its background (the background image over the
// face colour, composed once per size and theme), the logo with the error
// badge, and the colours and fonts of its controls, scaled for the window's
// DPI. Under a high-contrast theme it uses the system's colours only, without
// the background image. Every colour and brush the window uses is chosen
// here. Lives on the UI thread, as long as the window it paints.
class WindowPainter {
 public:
  WindowPainter();
  ~WindowPainter();
  WindowPainter(const WindowPainter&) = delete;
  WindowPainter& operator=(const WindowPainter&) = delete;

  // Loads the images, makes the fonts for the DPI of `window`, made from
  // `dialog_template` (which must outlive this painter), and paints its logo
  // control from now on.
  void Attach(HWND window, const DialogLayout& dialog_template);
  // Draws the window's controls made since Attach (or the last call) too.
  void AdoptControls();
  int dpi() const { return dpi_; }
  // The window is drawn at another DPI: the fonts and drawing follow. The
  // window lays itself out again in the new fonts.
  void OnDpiChanged(int dpi);
  // The template's font at the window's DPI, for the controls the painter
  // gives no font of its own.
  HFONT dialog_font() const { return fonts_.dialog; }
  // Gives the window's headings and warnings their fonts; `panel` is the
  // options panel once it exists.
  void ApplyFonts(HWND panel) const;
  // The window's size or theme changed: its background is composed anew.
  void ResetBackground() { background_.Reset(); }
  // The system's colours or its high-contrast mode changed: the painter
  // follows them. The texts must be set again for their colours.
  void OnSystemColorsChanged();
  bool high_contrast() const { return high_contrast_; }
  void SetErrorBadgeShown(bool shown);

  // WM_ERASEBKGND of the window.
  void PaintBackground(HDC dc);
  // The answer to a WM_CTLCOLOR* message about `control`, a control of the
  // window or, `in_panel`, of its options panel.
  INT_PTR ControlColor(HDC dc, HWND control, UINT message, bool in_panel);
  // Colours the welcome heading, whose characters [name_start, name_end)
  // name the product.
  void ColorHeading(HWND heading, size_t name_start, size_t name_end) const;
  // The colour of the links in the window's texts.
  COLORREF LinkColor() const;

 private:
  static LRESULT CALLBACK LogoProc(HWND logo, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                                   DWORD_PTR data);
  static LRESULT CALLBACK ProgressProc(HWND bar, UINT message, WPARAM wparam, LPARAM lparam,
                                       UINT_PTR, DWORD_PTR);
  static LRESULT CALLBACK RichEditProc(HWND text, UINT message, WPARAM wparam, LPARAM lparam,
                                       UINT_PTR, DWORD_PTR data);
  // Paints `text`, a rich edit, over the window's background; false if it
  // cannot, and the rich edit paints itself.
  bool PaintTextOverBackground(HWND text);
  // Whether the rich edit `text` can draw on another device context.
  bool RendersRichText(HWND text);
  void ShowBackgroundThrough(HWND text);
  // The logo control: the window's background under it, the logo and, on
  // the error page, the error badge.
  void PaintLogoArea(HWND logo, HDC dc, const RECT& area);
  void PaintLogo(HDC dc, const RECT& area);
  // Makes the fonts for `dpi`; drawing follows it.
  void SetDpi(int dpi);
  void ComposeBackground();
  // Gives the rich edits, which paint their own background, the colour
  // under their middle, so they blend in.
  void MatchRichEditBackgrounds(HDC background);
  // The rich edits' backgrounds follow the system's window colour.
  void UseSystemRichEditBackgrounds();
  // What the window's own surfaces are filled with.
  HBRUSH SurfaceBrush() const;
  // Copies the composed background from `origin` on to `dc`.
  void CopyBackground(HDC dc, const RECT& area, POINT origin) const;
  // The background as a brush aligned to `control`.
  HBRUSH BackgroundBrush(HWND control, HDC dc);
  // Where `control` lies in the window's client area.
  RECT RectInWindow(HWND control) const;

  HWND window_ = nullptr;
  const DialogLayout* dialog_template_ = nullptr;
  int dpi_ = 96;
  bool error_badge_shown_ = false;
  bool high_contrast_ = false;
  WindowFonts fonts_;
  // Started with the window, before its controls are made.
  BackgroundImageDecoder decoder_{{{IDR_LOGO, L"PNG"}, {IDR_BACKGROUND, L"JPG"}}};
  Bitmap logo_;
  Bitmap error_badge_;
  Bitmap background_image_;
  Bitmap background_;  // the client area's composed background
  HBRUSH white_brush_ = nullptr;
  HBRUSH window_brush_ = nullptr;
  HBRUSH background_brush_ = nullptr;
  // The rich edits over the background, and the colour each fills with.
  static constexpr int kRichEdits[] = {IDC_HEADING, IDC_WELCOME_TEXT};
  COLORREF rich_edit_fills_[std::size(kRichEdits)] = {CLR_INVALID, CLR_INVALID};
  // Learnt from the first rich edit with a text.
  std::optional<bool> renders_rich_text_;
};

}  // namespace norva::installer

#endif  // NORVA_UI_WINDOW_PAINTER_H_
