// The installer window in the carried languages at the screen's DPI (Wine
// reads the DPI and the font substitutes from the registry when the process
// starts; gallery_run.sh sets them):
//   ui_gallery --languages=a,b    only these languages (default: all)
//   ui_gallery                    every label fits its control, in a font
//                                 made for the DPI, in each language, then
//                                 again after the open window moved to a
//                                 screen of 144 DPI (96 from 144) and back;
//                                 exit code 1 when not
//   ui_gallery --shots=FOLDER     PNGs of every page
#include <windows.h>
#include <objbase.h>
#include <richedit.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/strings.h"
#include "base/task_loop.h"
#include "installer/settings.h"
#include "product/installer_features.h"
#include "product/languages.h"
#include "product/resource_ids.h"
#include "stats/stats_collector.h"
#include "support/scratch.h"
#include "support/wait.h"
#include "ui/installer_window.h"
#include "ui/rich_text.h"
#include "ui/ui_test_support.h"

namespace norva::installer {
namespace {

using Microsoft::WRL::ComPtr;
using l10n::GetLocalizedString;

// What each labelled control may have to show, and its font's points.
struct Label {
  int control;
  std::vector<int> string_ids;
  bool wraps;
  int points = 8;
};

const Label kLabels[] = {
    {IDC_OPTIONS_BUTTON, {IDS_OPTIONS}, false},
    {IDC_CANCEL_BUTTON, {IDS_CANCEL}, false},
    {IDC_ACCEPT_BUTTON, {IDS_ACCEPT_AND_INSTALL, IDS_ACCEPT_AND_UPDATE}, false},
    {IDC_FULL_PACKAGE_BUTTON, {IDS_DOWNLOAD_FULL_INSTALLER}, false},
    {IDC_RETRY_BUTTON, {IDS_RETRY}, false},
    {IDC_UNINSTALL_BUTTON, {IDS_UNINSTALL}, false},
    {IDC_BACK_BUTTON, {IDS_BACK}, false},
    {IDC_BROWSE_BUTTON, {IDS_BROWSE}, false},
    {IDC_PROGRESS_HEADING, {IDS_INSTALLING_HEADING}, true, 14},
    {IDC_ERROR_HEADING, {IDS_INSTALLATION_FAILED}, true, 14},
    {IDC_UNINSTALL_ERROR_HEADING, {IDS_UNINSTALLATION_FAILED}, true, 14},
    {IDC_UNINSTALL_QUESTION, {IDS_UNINSTALL_QUESTION}, true},
    {IDC_STATUS_TEXT,
     {IDS_DOWNLOADING, IDS_UNPACKING, IDS_INSTALLING, IDS_UNINSTALLING, IDS_DOWNLOAD_FAILED,
      IDS_UNPACK_FAILED, IDS_GENERAL_FAILURE, IDS_INSTALLATION_INTERRUPTED, IDS_MUTEX_FAILURE,
      IDS_NO_WRITE_ACCESS, IDS_ELEVATION_FAILED, IDS_BROWSER_IN_USE, IDS_NO_SSE2},
     true},
    {IDC_DELETE_PROFILE_CHECK, {IDS_DELETE_PROFILE}, true},
    {IDC_DEFAULT_BROWSER_CHECK, {IDS_MAKE_DEFAULT_BROWSER}, true},
    {IDC_IMPORT_CHECK, {IDS_IMPORT_DATA}, true},
    {IDC_STATS_CHECK, {IDS_SEND_STATISTICS}, true},
    {IDC_INVALID_FOLDER_WARNING, {IDS_INVALID_FOLDER}, true},
    {IDC_LANGUAGE_LABEL, {IDS_LANGUAGE_LABEL}, true},
    {IDC_MODE_LABEL, {IDS_MODE_LABEL}, true},
    {IDC_FOLDER_LABEL, {IDS_FOLDER_LABEL}, true},
};

// Whether `text` fits `control` in the control's font; says why not.
bool Fits(HWND control, const std::wstring& text, bool wraps, int dpi, std::string* why) {
  wchar_t type[32] = {};
  GetClassNameW(control, type, 32);
  const LONG style = GetWindowLongW(control, GWL_STYLE);
  RECT room;
  GetClientRect(control, &room);
  // A push button's frame and focus rectangle, a check box's box and gap.
  if (std::wstring(type) == L"Button")
    room.right -= MulDiv((style & BS_TYPEMASK) == BS_AUTOCHECKBOX ? 13 + 6 : 8, dpi, 96);
  HDC dc = GetDC(control);
  HGDIOBJ previous =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  RECT needed = {0, 0, room.right - room.left, 0};
  // Measured as the control draws: an access key's "&" takes no room, except
  // in the statics that show their text as it is.
  bool as_is = std::wstring(type) == L"Static" && (style & SS_NOPREFIX);
  UINT format = DT_CALCRECT | (as_is ? DT_NOPREFIX : 0) | (wraps ? DT_WORDBREAK : DT_SINGLELINE);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &needed, format);
  SelectObject(dc, previous);
  ReleaseDC(control, dc);
  bool fits = needed.right - needed.left <= room.right - room.left &&
              needed.bottom - needed.top <= room.bottom - room.top;
  if (!fits) {
    *why = StringPrintf("needs %ldx%ld, has %ldx%ld", needed.right - needed.left,
                        needed.bottom - needed.top, room.right - room.left,
                        room.bottom - room.top);
  }
  return fits;
}

// Whether the text a rich edit holds (in the fonts it keeps in the text)
// fits it: the first character is not pushed out to the left, the end is not
// beyond the right edge, and the last line ends above the bottom.
bool RichTextFits(HWND control, std::string* why) {
  RECT client;
  GetClientRect(control, &client);
  auto position = [control](LRESULT index) {
    POINTL point = {};
    SendMessageW(control, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&point), index);
    return point;
  };
  auto length = static_cast<LRESULT>(GetWindowTextLengthW(control));
  POINTL first = position(0), end = position(length);
  LRESULT lines = SendMessageW(control, EM_GETLINECOUNT, 0, 0);
  LONG line_height = lines > 1 ? position(SendMessageW(control, EM_LINEINDEX, 1, 0)).y - first.y
                               : 0;
  bool fits = first.x >= 0 && end.x <= client.right && end.y + line_height <= client.bottom;
  if (!fits) {
    *why = StringPrintf("text from x %ld to %ld, %ld lines of %ld, in %ldx%ld", first.x, end.x,
                        static_cast<long>(lines), line_height, client.right, client.bottom);
  }
  return fits;
}

// The carried languages, or those of "--languages".
std::vector<std::wstring> ChosenLanguages(const CommandLine& command_line) {
  std::vector<std::wstring> chosen;
  std::wstring wanted = L"," + command_line.GetSwitchValue("languages") + L",";
  for (const std::wstring& language : l10n::AvailableLanguages()) {
    if (!language.empty() && (wanted == L",," || wanted.find(L"," + language + L",") != std::wstring::npos))
      chosen.push_back(language);
  }
  return chosen;
}

int CheckFit(InstallerWindow& window, Settings& settings, int dpi,
             const std::vector<std::wstring>& languages) {
  int failures = 0;
  for (const std::wstring& language : languages) {
    settings.SetLanguage(language);
    auto report = [&](int control, int string_id, const std::string& why) {
      std::printf("%ls at %d DPI: control %d, string %d does not fit: %s\n", language.c_str(), dpi,
                  control, string_id, why.c_str());
      ++failures;
    };
    for (const Label& label : kLabels) {
      HWND control = test::WindowControl(window, label.control);
      // In a font made for the window's DPI.
      LOGFONTW font{};
      GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof(font),
                 &font);
      if (font.lfHeight != -MulDiv(label.points, dpi, 72))
        report(label.control, 0, StringPrintf("font %ld high", font.lfHeight));
      for (int id : label.string_ids) {
        std::string why;
        if (!Fits(control, GetLocalizedString(id), label.wraps, dpi, &why))
          report(label.control, id, why);
      }
    }
    // Buttons shown side by side must not overlap, whatever their texts.
    for (auto [left, right] : {std::pair{IDC_BACK_BUTTON, IDC_FULL_PACKAGE_BUTTON},
                               std::pair{IDC_FULL_PACKAGE_BUTTON, IDC_RETRY_BUTTON},
                               std::pair{IDC_CANCEL_BUTTON, IDC_UNINSTALL_BUTTON}}) {
      RECT a = test::RectIn(window, left), b = test::RectIn(window, right), both;
      if (IntersectRect(&both, &a, &b)) report(left, right, "overlaps the next button");
    }
    for (auto [id, string_id] : {std::pair{IDC_HEADING, IDS_WELCOME_HEADING},
                                 std::pair{IDC_WELCOME_TEXT, IDS_TERMS_NOTICE}}) {
      std::string why;
      if (!RichTextFits(test::WindowControl(window, id), &why)) report(id, string_id, why);
    }
  }
  std::printf("%d labels do not fit at %d DPI in %zu languages\n", failures, dpi, languages.size());
  return failures ? 1 : 0;
}

bool SavePng(HWND window, const std::filesystem::path& file) {
  test::Screenshot shot = test::CaptureWindow(window);
  ComPtr<IWICImagingFactory> factory;
  ComPtr<IWICStream> stream;
  ComPtr<IWICBitmapEncoder> encoder;
  ComPtr<IWICBitmapFrameEncode> frame;
  WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGR;
  const UINT stride = static_cast<UINT>(shot.width) * 4;
  return !shot.pixels.empty() &&
         SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_PPV_ARGS(&factory))) &&
         SUCCEEDED(factory->CreateStream(&stream)) &&
         SUCCEEDED(stream->InitializeFromFilename(file.c_str(), GENERIC_WRITE)) &&
         SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
         SUCCEEDED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache)) &&
         SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) &&
         SUCCEEDED(frame->Initialize(nullptr)) &&
         SUCCEEDED(frame->SetSize(shot.width, shot.height)) &&
         SUCCEEDED(frame->SetPixelFormat(&format)) &&
         SUCCEEDED(frame->WritePixels(shot.height, stride, stride * shot.height,
                                      reinterpret_cast<BYTE*>(shot.pixels.data()))) &&
         SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
}

int TakeShots(const std::filesystem::path& folder, int dpi, TaskLoop* loop,
              const std::vector<std::wstring>& languages) {
  const std::pair<InstallerPage, const wchar_t*> kPages[] = {
      {kPageWelcome, L"welcome"}, {kPageTerms, L"terms"}, {kPageOptions, L"options"},
      {kPageProgress, L"progress"}, {kPageError, L"error"}, {kPageUninstall, L"uninstall"}};
  std::filesystem::create_directories(folder);
  test::ScratchFolder scratch;
  int written = 0;
  for (bool uninstall : {false, true}) {
    std::filesystem::path target = scratch.path() / L"Norva";
    // The pages show the folder a user is offered, not the test's own.
    Settings settings({.uninstall = uninstall,
                       .install_folder = uninstall ? target : std::filesystem::path(),
                       .installation_folder = uninstall ? target : std::filesystem::path()},
                      CommandLine::FromString(L"installer.exe"));
    test::WaitForStatus(&settings, loop);
    StatsCollector stats(false);
    std::unique_ptr<InstallerWindow> window = InstallerWindow::Create(settings, stats.root(), false);
    if (!window) return 1;
    for (const std::wstring& language : languages) {
      settings.SetLanguage(language);
      for (const auto& [page, name] : kPages) {
        if ((page == kPageUninstall) != uninstall) continue;
        if (page == kPageError)
          window->ShowError(GetLocalizedString(IDS_DOWNLOAD_FAILED), true, "");
        else if (page == kPageProgress)
          window->ShowPage(page), window->SetProgressState(FetchState::kDownloading);
        else
          window->ShowPage(page);
        test::Settle(loop, window->handle());
        std::filesystem::path file =
            folder / (language + L"-" + std::to_wstring(dpi) + L"-" + name + L".png");
        if (SavePng(window->handle(), file)) ++written;
      }
    }
  }
  std::printf("%d screenshots at %d DPI in %ls\n", written, dpi, folder.c_str());
  return written ? 0 : 1;
}

int Main() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  FeatureRegistry::Get().RegisterDefaults();
  TaskLoop loop(TaskLoop::Type::kUI);
  CommandLine command_line = CommandLine::ForCurrentProcess();
  int dpi = ScreenDpi(nullptr);
  std::vector<std::wstring> languages = ChosenLanguages(command_line);
  if (command_line.HasSwitch("shots"))
    return TakeShots(command_line.GetSwitchValuePath("shots"), dpi, &loop, languages);
  test::ScratchFolder scratch;
  Settings settings({.install_folder = scratch.path() / L"Norva"},
                    CommandLine::FromString(L"installer.exe"));
  test::WaitForStatus(&settings, &loop);
  StatsCollector stats(false);
  std::unique_ptr<InstallerWindow> window = InstallerWindow::Create(settings, stats.root(), false);
  if (!window) return 1;
  int result = CheckFit(*window, settings, dpi, languages);
  // Then the open window moves to a screen of another DPI and back.
  int other = dpi == 144 ? 96 : 144;
  for (auto [from, to] : {std::pair{dpi, other}, std::pair{other, dpi}}) {
    test::ChangeDpi(window->handle(), from, to);
    loop.RunUntilIdle();
    result |= CheckFit(*window, settings, to, languages);
  }
  return result;
}

}  // namespace
}  // namespace norva::installer

int main() { return norva::installer::Main(); }
