#include "ui/window_painter.h"

#include <commctrl.h>
#include <richedit.h>

#include <algorithm>

#include "product/resource_ids.h"
#include "ui/rich_text.h"
#include "ui/window_layout.h"

namespace norva::installer {
namespace {

constexpr COLORREF kHeadingRed = RGB(255, 27, 44);
constexpr COLORREF kWarningRed = RGB(255, 0, 0);
constexpr COLORREF kTextColor = RGB(0, 0, 0);
constexpr COLORREF kLinkGrey = RGB(104, 104, 104);
constexpr int kErrorBadgeOffset = 10;  // beyond the logo's corner, at 96 DPI

std::optional<bool> g_high_contrast_for_testing;
RichTextRenderer g_render_rich_text = RenderRichText;

INT_PTR AsResult(HBRUSH brush) { return reinterpret_cast<INT_PTR>(brush); }

}  // namespace

bool IsHighContrastOn() {
  if (g_high_contrast_for_testing) return *g_high_contrast_for_testing;
  HIGHCONTRASTW high_contrast = {sizeof(high_contrast)};
  return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(high_contrast), &high_contrast, 0) &&
         (high_contrast.dwFlags & HCF_HIGHCONTRASTON);
}

void SetHighContrastForTesting(std::optional<bool> on) { g_high_contrast_for_testing = on; }

void SetRichTextRendererForTesting(RichTextRenderer renderer) {
  g_render_rich_text = renderer ? renderer : RenderRichText;
}

WindowPainter::WindowPainter()
    : white_brush_(CreateSolidBrush(RGB(255, 255, 255))),
      window_brush_(GetSysColorBrush(COLOR_WINDOW)) {}

WindowPainter::~WindowPainter() {
  for (HBRUSH brush : {white_brush_, background_brush_})
    if (brush) DeleteObject(brush);
}

void WindowPainter::Attach(HWND window, const DialogLayout& dialog_template) {
  window_ = window;
  dialog_template_ = &dialog_template;
  logo_ = decoder_.Take(IDR_LOGO);
  background_image_ = decoder_.Take(IDR_BACKGROUND);
  high_contrast_ = IsHighContrastOn();
  SetDpi(WindowDpi(window));
  AdoptControls();
}

void WindowPainter::AdoptControls() {
  if (high_contrast_) UseSystemRichEditBackgrounds();
  SetWindowSubclass(GetDlgItem(window_, IDC_LOGO), LogoProc, 0, reinterpret_cast<DWORD_PTR>(this));
  for (int id : kRichEdits)
    SetWindowSubclass(GetDlgItem(window_, id), RichEditProc, 0, reinterpret_cast<DWORD_PTR>(this));
  SetWindowSubclass(GetDlgItem(window_, IDC_PROGRESS_BAR), ProgressProc, 0, 0);
  ResetBackground();
}

void WindowPainter::SetErrorBadgeShown(bool shown) {
  error_badge_shown_ = shown;
  // Most runs never show it.
  if (shown && !error_badge_) error_badge_ = LoadImageResource(IDR_ERROR_BADGE, L"PNG");
}

void WindowPainter::SetDpi(int dpi) {
  dpi_ = dpi;
  fonts_.Create(dpi, *dialog_template_);
}

void WindowPainter::OnDpiChanged(int dpi) {
  SetDpi(dpi);
  ResetBackground();
}

void WindowPainter::ApplyFonts(HWND panel) const {
  auto set_font = [](HWND dialog, int id, HFONT font) {
    SendMessageW(GetDlgItem(dialog, id), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  };
  set_font(window_, IDC_UNINSTALL_QUESTION, fonts_.bold);
  for (int id : {IDC_PROGRESS_HEADING, IDC_ERROR_HEADING, IDC_UNINSTALL_ERROR_HEADING})
    set_font(window_, id, fonts_.large);
  set_font(window_, IDC_HEADING, fonts_.heading);
  if (panel) set_font(panel, IDC_INVALID_FOLDER_WARNING, fonts_.bold);
}

void WindowPainter::OnSystemColorsChanged() {
  high_contrast_ = IsHighContrastOn();
  ResetBackground();
  if (high_contrast_) UseSystemRichEditBackgrounds();
}

HBRUSH WindowPainter::SurfaceBrush() const {
  return high_contrast_ ? GetSysColorBrush(COLOR_WINDOW) : white_brush_;
}

void WindowPainter::PaintBackground(HDC dc) {
  ComposeBackground();
  RECT client;
  GetClientRect(window_, &client);
  if (!background_) {
    FillRect(dc, &client, SurfaceBrush());
    return;
  }
  CopyBackground(dc, client, {0, 0});
}

INT_PTR WindowPainter::ControlColor(HDC dc, HWND control, UINT message, bool in_panel) {
  if (high_contrast_) {
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    return AsResult(SurfaceBrush());
  }
  if (message == WM_CTLCOLORDLG) return AsResult(white_brush_);
  int id = GetDlgCtrlID(control);
  if (in_panel) {
    if (id == IDC_INVALID_FOLDER_WARNING) SetTextColor(dc, kWarningRed);
    SetBkMode(dc, TRANSPARENT);
    return AsResult(white_brush_);
  }
  if (id == IDC_TERMS_TEXT) return AsResult(window_brush_);
  if (message == WM_CTLCOLORBTN) return AsResult(white_brush_);
  // Each static paints the window's background under its text itself, so a
  // changed text never shows over the old one.
  SetTextColor(dc, kTextColor);
  SetBkMode(dc, TRANSPARENT);
  return AsResult(BackgroundBrush(control, dc));
}

void WindowPainter::ColorHeading(HWND heading, size_t name_start, size_t name_end) const {
  if (high_contrast_) {
    SetRichTextColor(heading, 0, -1, GetSysColor(COLOR_WINDOWTEXT));
    return;
  }
  SetRichTextColor(heading, 0, -1, kHeadingRed);
  if (name_start < name_end)
    SetRichTextColor(heading, static_cast<int>(name_start), static_cast<int>(name_end), kTextColor);
}

COLORREF WindowPainter::LinkColor() const {
  return high_contrast_ ? GetSysColor(COLOR_HOTLIGHT) : kLinkGrey;
}

LRESULT CALLBACK WindowPainter::LogoProc(HWND logo, UINT message, WPARAM wparam, LPARAM lparam,
                                         UINT_PTR, DWORD_PTR data) {
  if (message != WM_PAINT) return DefSubclassProc(logo, message, wparam, lparam);
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(logo, &paint);
  RECT area;
  GetClientRect(logo, &area);
  reinterpret_cast<WindowPainter*>(data)->PaintLogoArea(logo, dc, area);
  EndPaint(logo, &paint);
  return 0;
}

// The progress bar takes the focus on its page, for screen readers; a frame
// in the highlight colour shows it has it, as other controls show theirs.
LRESULT CALLBACK WindowPainter::ProgressProc(HWND bar, UINT message, WPARAM wparam, LPARAM lparam,
                                             UINT_PTR, DWORD_PTR) {
  if (message == WM_SETFOCUS || message == WM_KILLFOCUS) InvalidateRect(bar, nullptr, TRUE);
  LRESULT result = DefSubclassProc(bar, message, wparam, lparam);
  if (message == WM_PAINT && GetFocus() == bar) {
    RECT frame;
    GetClientRect(bar, &frame);
    HDC dc = GetDC(bar);
    FrameRect(dc, &frame, GetSysColorBrush(COLOR_HIGHLIGHT));
    InflateRect(&frame, -1, -1);
    FrameRect(dc, &frame, GetSysColorBrush(COLOR_HIGHLIGHT));
    ReleaseDC(bar, dc);
  }
  return result;
}

LRESULT CALLBACK WindowPainter::RichEditProc(HWND text, UINT message, WPARAM wparam, LPARAM lparam,
                                             UINT_PTR, DWORD_PTR data) {
  auto* painter = reinterpret_cast<WindowPainter*>(data);
  if (message == WM_PAINT && painter->PaintTextOverBackground(text)) return 0;
  LRESULT result = DefSubclassProc(text, message, wparam, lparam);
  if (message == WM_PAINT) painter->ShowBackgroundThrough(text);
  return result;
}

// The window's background is a gradient, and a rich edit fills its own with
// one colour: the text is drawn here instead, in one pass, the background and
// the text composed in memory and copied once, so no pixel shows the fill and
// anti-aliased edges blend with the gradient. False where the system's rich
// edit cannot draw on another device context: it paints itself then.
bool WindowPainter::PaintTextOverBackground(HWND text) {
  RECT client;
  GetClientRect(text, &client);
  if (!background_ || IsRectEmpty(&client) || !RendersRichText(text)) return false;
  HDC screen = GetDC(text);
  HDC memory = CreateCompatibleDC(screen);
  Bitmap composed(CreateCompatibleBitmap(screen, client.right, client.bottom), client.right,
                  client.bottom);
  ReleaseDC(text, screen);
  if (!memory || !composed) {
    if (memory) DeleteDC(memory);
    return false;
  }
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(text, &paint);
  HGDIOBJ previous = SelectObject(memory, composed.get());
  // The bitmap holds the pixels as the screen shows them, left to right; the
  // text is laid out in the control's own direction.
  const RECT place = RectInWindow(text);
  CopyBackground(memory, client, {place.left, place.top});
  const DWORD layout = GetLayout(dc);
  SetLayout(memory, layout);
  g_render_rich_text(text, memory, true);
  SetLayout(memory, 0);
  SetLayout(dc, 0);
  BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
  SetLayout(dc, layout);
  SelectObject(memory, previous);
  DeleteDC(memory);
  EndPaint(text, &paint);
  return true;
}

bool WindowPainter::RendersRichText(HWND text) {
  if (renders_rich_text_) return *renders_rich_text_;
  if (GetWindowTextLengthW(text) == 0) return false;  // nothing to learn it from yet
  HDC screen = GetDC(text);
  HDC probe = CreateCompatibleDC(screen);
  ReleaseDC(text, screen);
  if (!probe) return false;
  renders_rich_text_ = g_render_rich_text(text, probe, false) > 0;
  DeleteDC(probe);
  return *renders_rich_text_;
}

// Where the text could not be drawn over the background: once the rich edit
// has drawn it, the pixels of its fill take the window's background again.
void WindowPainter::ShowBackgroundThrough(HWND text) {
  auto edit = std::find(std::begin(kRichEdits), std::end(kRichEdits), GetDlgCtrlID(text));
  if (!background_ || edit == std::end(kRichEdits)) return;
  COLORREF fill = rich_edit_fills_[edit - std::begin(kRichEdits)];
  RECT client;
  GetClientRect(text, &client);
  if (fill == CLR_INVALID || IsRectEmpty(&client)) return;
  HDC dc = GetDC(text);
  HDC drawn = CreateCompatibleDC(dc);
  HDC composed = CreateCompatibleDC(dc);
  Bitmap drawn_bitmap(CreateCompatibleBitmap(dc, client.right, client.bottom), client.right,
                      client.bottom);
  Bitmap composed_bitmap(CreateCompatibleBitmap(dc, client.right, client.bottom), client.right,
                         client.bottom);
  if (drawn && composed && drawn_bitmap && composed_bitmap) {
    HGDIOBJ drawn_previous = SelectObject(drawn, drawn_bitmap.get());
    HGDIOBJ composed_previous = SelectObject(composed, composed_bitmap.get());
    BitBlt(drawn, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
    FillRect(composed, &client, BackgroundBrush(text, composed));
    TransparentBlt(composed, 0, 0, client.right, client.bottom, drawn, 0, 0, client.right,
                   client.bottom, fill);
    BitBlt(dc, 0, 0, client.right, client.bottom, composed, 0, 0, SRCCOPY);
    SelectObject(drawn, drawn_previous);
    SelectObject(composed, composed_previous);
  }
  if (drawn) DeleteDC(drawn);
  if (composed) DeleteDC(composed);
  ReleaseDC(text, dc);
}

void WindowPainter::PaintLogoArea(HWND logo, HDC dc, const RECT& area) {
  ComposeBackground();
  if (background_) {
    RECT rect = RectInWindow(logo);
    CopyBackground(dc, area, {rect.left, rect.top});
  } else {
    FillRect(dc, &area, SurfaceBrush());
  }
  PaintLogo(dc, area);
}

void WindowPainter::PaintLogo(HDC dc, const RECT& area) {
  if (!logo_) return;
  int width = std::min<int>(MulDiv(logo_.width(), dpi_, 96), area.right - area.left);
  int height = std::min<int>(MulDiv(logo_.height(), dpi_, 96), area.bottom - area.top);
  int side = std::min(width, height);
  RECT logo = {(area.left + area.right - side) / 2, (area.top + area.bottom - side) / 2, 0, 0};
  logo.right = logo.left + side;
  logo.bottom = logo.top + side;
  DrawBitmap(dc, logo_, logo);
  if (!error_badge_shown_ || !error_badge_) return;
  const int badge_side = MulDiv(error_badge_.width(), dpi_, 96);
  const int offset = MulDiv(kErrorBadgeOffset, dpi_, 96);
  RECT badge = {logo.right + offset - badge_side, logo.bottom + offset - badge_side,
                logo.right + offset, logo.bottom + offset};
  DrawBitmap(dc, error_badge_, badge);
}

void WindowPainter::ComposeBackground() {
  if (background_ || high_contrast_) return;
  if (background_brush_) DeleteObject(background_brush_);
  background_brush_ = nullptr;
  RECT client;
  GetClientRect(window_, &client);
  HDC screen = GetDC(window_);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
  ReleaseDC(window_, screen);
  if (!bitmap) {
    DeleteDC(dc);
    return;
  }
  background_ = Bitmap(bitmap, client.right, client.bottom);
  HGDIOBJ previous = SelectObject(dc, bitmap);
  FillRect(dc, &client, GetSysColorBrush(COLOR_3DFACE));
  DrawBitmap(dc, background_image_, client);
  MatchRichEditBackgrounds(dc);
  SelectObject(dc, previous);
  DeleteDC(dc);
}

void WindowPainter::MatchRichEditBackgrounds(HDC background) {
  for (size_t i = 0; i < std::size(kRichEdits); ++i) {
    HWND control = GetDlgItem(window_, kRichEdits[i]);
    RECT rect = RectInWindow(control);
    COLORREF under =
        GetPixel(background, (rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    rich_edit_fills_[i] = under;
    if (under != CLR_INVALID) SendMessageW(control, EM_SETBKGNDCOLOR, 0, under);
  }
}

void WindowPainter::UseSystemRichEditBackgrounds() {
  for (int id : kRichEdits) SendMessageW(GetDlgItem(window_, id), EM_SETBKGNDCOLOR, TRUE, 0);
}

void WindowPainter::CopyBackground(HDC dc, const RECT& area, POINT origin) const {
  HDC source = CreateCompatibleDC(dc);
  HGDIOBJ previous = SelectObject(source, background_.get());
  BitBlt(dc, 0, 0, area.right, area.bottom, source, origin.x, origin.y, SRCCOPY);
  SelectObject(source, previous);
  DeleteDC(source);
}

HBRUSH WindowPainter::BackgroundBrush(HWND control, HDC dc) {
  ComposeBackground();
  if (!background_brush_ && background_) background_brush_ = CreatePatternBrush(background_.get());
  RECT rect = RectInWindow(control);
  SetBrushOrgEx(dc, -rect.left, -rect.top, nullptr);
  return background_brush_ ? background_brush_ : SurfaceBrush();
}

RECT WindowPainter::RectInWindow(HWND control) const {
  RECT rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

}  // namespace norva::installer
