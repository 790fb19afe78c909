#include "ui/accessibility.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <oleacc.h>
#include <richedit.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "ui/ui_test_support.h"

namespace norva::installer {
namespace {

enum Control { kLabel = 1, kList, kButton, kHeading, kNotice, kBar, kLogo };

// Whether `control` hands screen readers an object of its own rather than
// leaving it to the system.
bool AnswersItself(HWND control) {
  LRESULT answer = SendMessageW(control, WM_GETOBJECT, 0, OBJID_CLIENT);
  if (!answer) return false;
  IAccessible* object = nullptr;
  ObjectFromLresult(answer, __uuidof(IAccessible), 0, reinterpret_cast<void**>(&object));
  if (object) object->Release();
  return true;
}

// A window with one control of each kind the installer shows, exposed to
// screen readers on a system that honours annotations or not.
class AccessibilityTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
    rich_edit_ = LoadLibraryW(L"Msftedit.dll");
    window_ = CreateWindowExW(0, WC_DIALOG, L"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 300,
                              nullptr, nullptr, nullptr, nullptr);
    const struct {
      Control id;
      const wchar_t* class_name;
      const wchar_t* text;
      DWORD style;
    } kControls[] = {
        {kLabel, L"Static", L"&Language:", 0},
        {kList, WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_TABSTOP},
        {kButton, L"Button", L"\u9009\u9879(&O)", BS_DEFPUSHBUTTON | WS_TABSTOP},
        {kHeading, MSFTEDIT_CLASS, L"Welcome", ES_READONLY},
        {kNotice, L"Static", L"Tom & Jerry", SS_NOPREFIX},
        {kBar, PROGRESS_CLASSW, L"", 0},
    };
    for (const auto& control : kControls)
      Add(control.id, control.class_name, control.text, control.style);
    SendMessageW(Get(kList), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"English"));
    SendMessageW(Get(kList), CB_SETCURSEL, 0, 0);
    SendMessageW(Get(kBar), PBM_SETPOS, 39, 0);
    for (Control id : {kNotice, kBar}) answered_before_[id] = AnswersItself(Get(id));
    SetAnnotationsHonouredForTesting(GetParam());
    ExposeToScreenReaders(window_);
    // A picture that came after: named without having been exposed.
    NamePicture(Add(kLogo, L"Static", L"", SS_NOTIFY), L"Norva");
  }
  void TearDown() override {
    SetAnnotationsHonouredForTesting(std::nullopt);
    DestroyWindow(window_);
    if (rich_edit_) FreeLibrary(rich_edit_);
    CoUninitialize();
  }

  HWND Add(Control id, const wchar_t* class_name, const wchar_t* text, DWORD style) {
    return CreateWindowExW(0, class_name, text, WS_CHILD | WS_VISIBLE | style, 10, 30 * id, 200, 24,
                           window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr,
                           nullptr);
  }
  HWND Get(Control id) const { return GetDlgItem(window_, id); }

  HWND window_ = nullptr;
  HMODULE rich_edit_ = nullptr;
  bool answered_before_[kLogo + 1] = {};
};

// What needs correcting reads right whether the system took the annotation or
// the control answers itself: names without access-key marks, a list named by
// its label, a read-only text as static text, the picture's name and role.
TEST_P(AccessibilityTest, CorrectedControlsReadRight) {
  const long kAsked = STATE_SYSTEM_FOCUSABLE | STATE_SYSTEM_DEFAULT | STATE_SYSTEM_READONLY |
                      STATE_SYSTEM_UNAVAILABLE | STATE_SYSTEM_INVISIBLE;
  const struct {
    Control id;
    long role;
    std::wstring name;
    long state;
    std::optional<std::wstring> value;
  } kCases[] = {
      {kList, ROLE_SYSTEM_COMBOBOX, L"Language", STATE_SYSTEM_FOCUSABLE, L"English"},
      {kButton, ROLE_SYSTEM_PUSHBUTTON, L"\u9009\u9879",
       STATE_SYSTEM_FOCUSABLE | STATE_SYSTEM_DEFAULT},
      {kHeading, ROLE_SYSTEM_STATICTEXT, L"Welcome", STATE_SYSTEM_READONLY},
      {kLogo, ROLE_SYSTEM_GRAPHIC, L"Norva", 0},
  };
  for (const auto& c : kCases) {
    test::Heard heard = test::Hear(Get(c.id));
    EXPECT_EQ(heard.role, c.role) << c.id;
    EXPECT_EQ(heard.name, c.name) << c.id;
    EXPECT_EQ(heard.state & kAsked, c.state) << c.id;
    if (c.value) {
      EXPECT_EQ(heard.value, *c.value) << c.id;
    }
  }
}

// A control with nothing to correct stays with the system where annotations
// are honoured; elsewhere every control answers itself, and reads right.
TEST_P(AccessibilityTest, ControlsWithNothingToCorrectStayWithTheSystem) {
  for (Control id : {kNotice, kBar})
    EXPECT_EQ(AnswersItself(Get(id)), GetParam() ? answered_before_[id] : true) << id;
  if (GetParam()) return;
  EXPECT_EQ(test::Hear(Get(kNotice)).name, L"Tom & Jerry");
  EXPECT_EQ(test::Hear(Get(kBar)).value, L"39%");
}

INSTANTIATE_TEST_SUITE_P(Annotations, AccessibilityTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Honoured" : "Ignored";
                         });

}  // namespace
}  // namespace norva::installer
