#include "ui/window_images.h"

#include <shlwapi.h>
#include <wincodec.h>

#include <wrl/client.h>

#include <iterator>
#include <utility>

#include "base/logging.h"
#include "base/module_resource.h"
#include "ui/window_layout.h"

namespace norva::installer {
namespace {

using Microsoft::WRL::ComPtr;

// The decoder of the resource's own format: letting the factory find one
// for the stream asks every registered decoder first, which costs more than
// the decoding.
Bitmap DecodeToBitmap(IWICImagingFactory* factory, IStream* stream, const GUID& format) {
  ComPtr<IWICBitmapDecoder> decoder;
  ComPtr<IWICBitmapFrameDecode> frame;
  ComPtr<IWICFormatConverter> converter;
  if (FAILED(factory->CreateDecoder(format, nullptr, decoder.GetAddressOf())) ||
      FAILED(decoder->Initialize(stream, WICDecodeMetadataCacheOnDemand)) ||
      FAILED(decoder->GetFrame(0, frame.GetAddressOf())) ||
      FAILED(factory->CreateFormatConverter(converter.GetAddressOf())) ||
      FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppPBGRA,
                                   WICBitmapDitherTypeNone, nullptr, 0,
                                   WICBitmapPaletteTypeCustom))) {
    return {};
  }
  UINT width = 0, height = 0;
  if (FAILED(converter->GetSize(&width, &height)) || !width || !height) return {};
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = static_cast<LONG>(width);
  info.bmiHeader.biHeight = -static_cast<LONG>(height);
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap) return {};
  Bitmap result(bitmap, static_cast<int>(width), static_cast<int>(height));
  if (FAILED(converter->CopyPixels(nullptr, width * 4, width * height * 4,
                                   static_cast<BYTE*>(bits)))) {
    return {};
  }
  return result;
}

}  // namespace

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept {
  if (this != &other) {
    Reset();
    bitmap_ = other.bitmap_;
    width_ = other.width_;
    height_ = other.height_;
    other.bitmap_ = nullptr;
  }
  return *this;
}

void Bitmap::Reset() {
  if (bitmap_) DeleteObject(bitmap_);
  bitmap_ = nullptr;
  width_ = height_ = 0;
}

Bitmap LoadImageResource(int id, const wchar_t* type) {
  std::string_view data = ModuleResource(id, type);
  if (data.empty()) {
    LOG(ERROR) << "Image resource " << id << " is missing";
    return {};
  }
  ComPtr<IWICImagingFactory> factory;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&factory)))) {
    LOG(ERROR) << "The imaging component is not available";
    return {};
  }
  ComPtr<IStream> stream;
  stream.Attach(SHCreateMemStream(reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<UINT>(data.size())));
  const GUID& format =
      wcscmp(type, L"PNG") == 0 ? GUID_ContainerFormatPng : GUID_ContainerFormatJpeg;
  Bitmap bitmap = stream ? DecodeToBitmap(factory.Get(), stream.Get(), format) : Bitmap();
  if (!bitmap) LOG(ERROR) << "Image resource " << id << " does not decode";
  return bitmap;
}

BackgroundImageDecoder::BackgroundImageDecoder(std::vector<Request> requests)
    : requests_(std::move(requests)), images_(requests_.size()) {
  thread_.reset(CreateThread(nullptr, 0, &DecodeAll, this, 0, nullptr));
  threaded_ = thread_.is_valid();
}

BackgroundImageDecoder::~BackgroundImageDecoder() { Join(); }

DWORD WINAPI BackgroundImageDecoder::DecodeAll(void* decoder) {
  auto* self = static_cast<BackgroundImageDecoder*>(decoder);
  HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  for (size_t i = 0; i < self->requests_.size(); ++i)
    self->images_[i] = LoadImageResource(self->requests_[i].id, self->requests_[i].type);
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}

void BackgroundImageDecoder::Join() {
  if (!thread_) return;
  WaitForSingleObject(thread_.get(), INFINITE);  // decoding ends on its own
  thread_.reset();
}

Bitmap BackgroundImageDecoder::Take(int id) {
  Join();
  for (size_t i = 0; i < requests_.size(); ++i) {
    if (requests_[i].id != id) continue;
    if (!threaded_) images_[i] = LoadImageResource(id, requests_[i].type);
    return std::move(images_[i]);
  }
  return {};
}

void DrawBitmap(HDC dc, const Bitmap& bitmap, const RECT& target) {
  if (!bitmap) return;
  HDC source = CreateCompatibleDC(dc);
  HGDIOBJ previous = SelectObject(source, bitmap.get());
  BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  SetStretchBltMode(dc, HALFTONE);
  GdiAlphaBlend(dc, target.left, target.top, target.right - target.left,
                target.bottom - target.top, source, 0, 0, bitmap.width(), bitmap.height(), blend);
  SelectObject(source, previous);
  DeleteDC(source);
}

WindowFonts::~WindowFonts() {
  HFONT* held[] = {&dialog, &bold, &large, &heading, &replaced_[0], &replaced_[1], &replaced_[2],
                   &replaced_[3]};
  Release(held, std::size(held));
}

void WindowFonts::Release(HFONT* fonts[], size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (*fonts[i]) DeleteObject(*fonts[i]);
    *fonts[i] = nullptr;
  }
}

void WindowFonts::Create(int dpi, const DialogLayout& dialog_template) {
  HFONT* replaced[] = {&replaced_[0], &replaced_[1], &replaced_[2], &replaced_[3]};
  Release(replaced, std::size(replaced));
  replaced_[0] = dialog;
  replaced_[1] = bold;
  replaced_[2] = large;
  replaced_[3] = heading;
  auto make = [dpi](int points, int weight, const wchar_t* face) {
    return CreateFontW(-MulDiv(points, dpi, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, face);
  };
  dialog = CreateDialogFont(dialog_template, dpi);
  bold = make(8, FW_BOLD, L"MS Shell Dlg");
  large = make(14, FW_MEDIUM, L"MS Shell Dlg 2");
  heading = make(22, FW_BLACK, L"Segoe UI");
}

}  // namespace norva::installer
