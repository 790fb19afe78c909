#ifndef NORVA_UI_WINDOW_IMAGES_H_
#define NORVA_UI_WINDOW_IMAGES_H_

#include <windows.h>

#include "ui/dialog_template.h"

#include <vector>

#include "base/scoped_handle.h"

namespace norva::installer {

// A 32-bit top-down DIB section with premultiplied alpha, ready for
// AlphaBlend. Owns its bitmap.
class Bitmap {
 public:
  Bitmap() = default;
  Bitmap(HBITMAP bitmap, int width, int height) : bitmap_(bitmap), width_(width), height_(height) {}
  ~Bitmap() { Reset(); }
  Bitmap(Bitmap&& other) noexcept { *this = static_cast<Bitmap&&>(other); }
  Bitmap& operator=(Bitmap&& other) noexcept;
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  explicit operator bool() const { return bitmap_ != nullptr; }
  HBITMAP get() const { return bitmap_; }
  int width() const { return width_; }
  int height() const { return height_; }
  void Reset();

 private:
  HBITMAP bitmap_ = nullptr;
  int width_ = 0;
  int height_ = 0;
};

// Decodes the image resource `id` of `type` ("PNG", "JPG") of the main
// module; empty when it is missing or does not decode. COM must be
// initialised on the calling thread.
Bitmap LoadImageResource(int id, const wchar_t* type);

// Decodes image resources on a thread of its own, started by the
// constructor, so that the window's thread makes its controls meanwhile.
// Take waits for that thread; without it, Take decodes on the caller's
// thread, whose COM must then be initialised.
class BackgroundImageDecoder {
 public:
  struct Request {
    int id;
    const wchar_t* type;
  };
  explicit BackgroundImageDecoder(std::vector<Request> requests);
  ~BackgroundImageDecoder();
  BackgroundImageDecoder(const BackgroundImageDecoder&) = delete;
  BackgroundImageDecoder& operator=(const BackgroundImageDecoder&) = delete;

  // The image of request `id`, once; empty when it did not decode.
  Bitmap Take(int id);

 private:
  static DWORD WINAPI DecodeAll(void* decoder);
  void Join();

  const std::vector<Request> requests_;
  std::vector<Bitmap> images_;
  ScopedHandle thread_;
  bool threaded_ = false;
};

// Draws `bitmap` with its per-pixel alpha into `target` on `dc`.
void DrawBitmap(HDC dc, const Bitmap& bitmap, const RECT& target);

// The window's fonts, sized for the window's DPI: its own, and the dialog
// font of its template, which its other controls take when the DPI changes.
struct WindowFonts {
  WindowFonts() = default;
  ~WindowFonts();
  WindowFonts(const WindowFonts&) = delete;
  WindowFonts& operator=(const WindowFonts&) = delete;
  // Replaces the fonts held. The ones replaced live on until the next call,
  // as the controls still hold them until they are given the new ones.
  void Create(int dpi, const DialogLayout& dialog_template);

  HFONT dialog = nullptr;
  HFONT bold = nullptr;
  HFONT large = nullptr;   // page headings
  HFONT heading = nullptr; // the welcome heading

 private:
  void Release(HFONT* fonts[], size_t count);
  HFONT replaced_[4] = {};
};

}  // namespace norva::installer

#endif  // NORVA_UI_WINDOW_IMAGES_H_
