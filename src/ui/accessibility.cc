#include "ui/accessibility.h"

#include <commctrl.h>
#include <oleacc.h>

#include <atomic>
#include <cwctype>
#include <optional>
#include <string>

#include "product/languages.h"
#include "ui/rich_text.h"

namespace norva::installer {
namespace {

constexpr UINT_PTR kSubclassId = 0x4e41;
// Where a control's facts are found again; the subclass holds them too.
constexpr wchar_t kFactsProperty[] = L"Norva.AccessibleFacts";

std::optional<bool> g_annotations_honoured_for_testing;

// What the installer says of one control, next to the system's object.
struct ControlFacts {
  std::wstring name;  // empty: from the control's text or label
  bool picture = false;
};

// Whether the control's class is `name`, or begins with it when `prefix`.
bool IsClass(HWND control, const wchar_t* name, bool prefix = false) {
  wchar_t class_name[32] = {};
  GetClassNameW(control, class_name, 32);
  return prefix ? _wcsnicmp(class_name, name, wcslen(name)) == 0 : _wcsicmp(class_name, name) == 0;
}

LONG_PTR Style(HWND control) { return GetWindowLongPtrW(control, GWL_STYLE); }

bool IsCheckBox(HWND control) {
  switch (Style(control) & BS_TYPEMASK) {
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_3STATE:
    case BS_AUTO3STATE:
      return true;
    default:
      return false;
  }
}

// An edit or a rich edit of any version ("RICHEDIT50W", "RichEdit20W").
bool IsEditable(HWND control) {
  return IsClass(control, L"Edit") || IsClass(control, L"RichEdit", true);
}

// A text the keyboard does not reach is read, not edited: a heading, a notice.
bool IsReadOnlyText(HWND control) {
  return IsEditable(control) && !(Style(control) & WS_TABSTOP);
}

// The role where it is not the one the system gives the control's class.
LONG CorrectedRole(HWND control, const ControlFacts& facts) {
  if (facts.picture) return ROLE_SYSTEM_GRAPHIC;
  return IsReadOnlyText(control) ? ROLE_SYSTEM_STATICTEXT : 0;
}

// 0 for windows the system's object describes well enough (the panes).
LONG RoleOf(HWND control, const ControlFacts& facts) {
  if (LONG role = CorrectedRole(control, facts)) return role;
  if (IsClass(control, L"Button"))
    return IsCheckBox(control) ? ROLE_SYSTEM_CHECKBUTTON : ROLE_SYSTEM_PUSHBUTTON;
  if (IsClass(control, WC_COMBOBOXW)) return ROLE_SYSTEM_COMBOBOX;
  if (IsClass(control, PROGRESS_CLASSW)) return ROLE_SYSTEM_PROGRESSBAR;
  if (IsClass(control, L"Static")) return ROLE_SYSTEM_STATICTEXT;
  if (IsEditable(control)) return ROLE_SYSTEM_TEXT;
  return 0;
}

// A list is named by the label before it: "Language:" names "Language".
std::wstring LabelOf(HWND control) {
  HWND label = GetWindow(control, GW_HWNDPREV);
  if (!label || !IsClass(label, L"Static")) return std::wstring();
  std::wstring text = l10n::WithoutAccessKey(WindowText(label));
  while (!text.empty() &&
         (text.back() == L':' || text.back() == L'\uff1a' || std::iswspace(text.back())))
    text.pop_back();
  return text;
}

// A static text without prefixes shows every "&" it has.
bool ShowsAmpersands(HWND control) {
  return IsClass(control, L"Static") && (Style(control) & SS_NOPREFIX);
}

std::wstring NameOf(HWND control, const ControlFacts& facts) {
  if (!facts.name.empty()) return facts.name;
  if (IsClass(control, WC_COMBOBOXW)) return LabelOf(control);
  if (ShowsAmpersands(control)) return WindowText(control);
  return l10n::WithoutAccessKey(WindowText(control));
}

LONG StateOf(HWND control) {
  LONG state = 0;
  LONG_PTR style = Style(control);
  bool shown = IsWindowVisible(control);
  bool enabled = IsWindowEnabled(control);
  if (!shown) state |= STATE_SYSTEM_INVISIBLE;
  if (!enabled) state |= STATE_SYSTEM_UNAVAILABLE;
  if (shown && enabled && (style & WS_TABSTOP)) state |= STATE_SYSTEM_FOCUSABLE;
  HWND focus = GetFocus();
  if (focus && (focus == control || IsChild(control, focus))) state |= STATE_SYSTEM_FOCUSED;
  if (IsClass(control, L"Button")) {
    if (IsCheckBox(control) && SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED)
      state |= STATE_SYSTEM_CHECKED;
    if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) state |= STATE_SYSTEM_DEFAULT;
  } else if (IsClass(control, PROGRESS_CLASSW) || (IsEditable(control) && (style & ES_READONLY))) {
    state |= STATE_SYSTEM_READONLY;
  }
  return state;
}

std::wstring ValueOf(HWND control) {
  if (IsClass(control, PROGRESS_CLASSW)) {
    PBRANGE range = {};
    SendMessageW(control, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    auto position = static_cast<int>(SendMessageW(control, PBM_GETPOS, 0, 0));
    int span = range.iHigh - range.iLow;
    int percent = span > 0 ? static_cast<int>((position - range.iLow) * 100LL / span) : 0;
    return std::to_wstring(percent) + L"%";
  }
  if (IsClass(control, WC_COMBOBOXW) || IsEditable(control)) return WindowText(control);
  return std::wstring();
}

bool IsSelf(const VARIANT& child) { return child.vt == VT_I4 && child.lVal == CHILDID_SELF; }

HRESULT ReturnText(const std::wstring& text, BSTR* out) {
  if (!out) return E_INVALIDARG;
  *out = text.empty() ? nullptr : SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return text.empty() ? S_FALSE : (*out ? S_OK : E_OUTOFMEMORY);
}

// The system's object for the control, with the role, name, state and value
// above in place of its own.
class ControlAccessible final : public IAccessible {
 public:
  ControlAccessible(HWND control, const ControlFacts& facts, IAccessible* system)
      : control_(control), facts_(facts), system_(system) {}

  // IUnknown:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == __uuidof(IAccessible)) {
      *out = static_cast<IAccessible*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // IDispatch:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    return system_->GetTypeInfoCount(count);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return system_->GetTypeInfo(index, lcid, info);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override {
    return system_->GetIDsOfNames(iid, names, count, lcid, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* error) override {
    return system_->Invoke(id, iid, lcid, flags, params, result, exception, error);
  }

  // IAccessible, what the installer answers itself:
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
    if (!IsSelf(child)) return system_->get_accName(child, name);
    return ReturnText(NameOf(control_, facts_), name);
  }
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
    if (!IsSelf(child)) return system_->get_accValue(child, value);
    return ReturnText(ValueOf(control_), value);
  }
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
    LONG own = IsSelf(child) ? RoleOf(control_, facts_) : 0;
    if (!own) return system_->get_accRole(child, role);
    if (!role) return E_INVALIDARG;
    role->vt = VT_I4;
    role->lVal = own;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
    if (!IsSelf(child)) return system_->get_accState(child, state);
    if (!state) return E_INVALIDARG;
    state->vt = VT_I4;
    state->lVal = StateOf(control_);
    return S_OK;
  }

  // IAccessible, the system's answers:
  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
    return system_->get_accParent(parent);
  }
  HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override {
    return system_->get_accChildCount(count);
  }
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
    return system_->get_accChild(child, out);
  }
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* text) override {
    return system_->get_accDescription(child, text);
  }
  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* text) override {
    return system_->get_accHelp(child, text);
  }
  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override {
    return system_->get_accHelpTopic(file, child, topic);
  }
  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* text) override {
    return system_->get_accKeyboardShortcut(child, text);
  }
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* child) override {
    return system_->get_accFocus(child);
  }
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* children) override {
    return system_->get_accSelection(children);
  }
  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* text) override {
    return system_->get_accDefaultAction(child, text);
  }
  HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) override {
    return system_->accSelect(flags, child);
  }
  HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                        VARIANT child) override {
    return system_->accLocation(left, top, width, height, child);
  }
  HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
    return system_->accNavigate(direction, start, end);
  }
  HRESULT STDMETHODCALLTYPE accHitTest(LONG left, LONG top, VARIANT* child) override {
    return system_->accHitTest(left, top, child);
  }
  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
    return system_->accDoDefaultAction(child);
  }
  HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override {
    return system_->put_accName(child, name);
  }
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override {
    return system_->put_accValue(child, value);
  }

 private:
  ~ControlAccessible() { system_->Release(); }

  const HWND control_;
  const ControlFacts facts_;
  IAccessible* const system_;
  std::atomic<ULONG> references_{1};
};

LRESULT AnswerObjectRequest(HWND control, WPARAM wparam, const ControlFacts& facts) {
  IAccessible* system = nullptr;
  if (FAILED(CreateStdAccessibleObject(control, OBJID_CLIENT, __uuidof(IAccessible),
                                       reinterpret_cast<void**>(&system))) ||
      !system) {
    return 0;
  }
  auto* accessible = new ControlAccessible(control, facts, system);
  LRESULT result = LresultFromObject(__uuidof(IAccessible), wparam, accessible);
  accessible->Release();
  return result;
}

LRESULT CALLBACK ControlProc(HWND control, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                             DWORD_PTR data) {
  auto* facts = reinterpret_cast<ControlFacts*>(data);
  if (message == WM_GETOBJECT && static_cast<LONG>(lparam) == OBJID_CLIENT &&
      RoleOf(control, *facts)) {
    if (LRESULT result = AnswerObjectRequest(control, wparam, *facts)) return result;
  } else if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(control, ControlProc, kSubclassId);
    RemovePropW(control, kFactsProperty);
    delete facts;
  }
  return DefSubclassProc(control, message, wparam, lparam);
}

ControlFacts* Expose(HWND control) {
  if (auto* facts = static_cast<ControlFacts*>(GetPropW(control, kFactsProperty))) return facts;
  auto* facts = new ControlFacts;
  if (!SetPropW(control, kFactsProperty, facts) ||
      !SetWindowSubclass(control, ControlProc, kSubclassId, reinterpret_cast<DWORD_PTR>(facts))) {
    RemovePropW(control, kFactsProperty);
    delete facts;
    return nullptr;
  }
  return facts;
}

// What the installer says of one control over the system's object for it,
// asked whenever a screen reader reads an annotated property, so that it
// follows the control's text, label and state as they change.
class ControlAnnotation final : public IAccPropServer {
 public:
  ControlAnnotation(HWND control, const ControlFacts& facts) : control_(control), facts_(facts) {}

  // IUnknown:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IAccPropServer) {
      *out = static_cast<IAccPropServer*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // IAccPropServer: nothing to say leaves the property to the system.
  HRESULT STDMETHODCALLTYPE GetPropValue(const BYTE*, DWORD, MSAAPROPID property, VARIANT* value,
                                         BOOL* has_value) override {
    if (!value || !has_value) return E_INVALIDARG;
    VariantInit(value);
    *has_value = FALSE;
    if (!IsWindow(control_)) return S_OK;
    if (property == PROPID_ACC_NAME) {
      std::wstring name = NameOf(control_, facts_);
      if (name.empty()) return S_OK;
      value->bstrVal = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
      if (!value->bstrVal) return E_OUTOFMEMORY;
      value->vt = VT_BSTR;
    } else if (CorrectedRole(control_, facts_) &&
               (property == PROPID_ACC_ROLE || property == PROPID_ACC_STATE)) {
      value->vt = VT_I4;
      value->lVal = property == PROPID_ACC_ROLE ? RoleOf(control_, facts_) : StateOf(control_);
    } else {
      return S_OK;
    }
    *has_value = TRUE;
    return S_OK;
  }

 private:
  ~ControlAnnotation() = default;

  const HWND control_;
  const ControlFacts facts_;
  std::atomic<ULONG> references_{1};
};

// The properties of `control` that the system's object gets wrong: the
// names it makes of texts with access keys ("(&O)" becomes "(O)"), of a
// list (its label, colon and all) and of a text (the label before it), and
// the role and state of a read-only text or a picture. A list's own parts
// stay as the system names them; a progress bar is right as it is.
int PropertiesToCorrect(HWND control, const ControlFacts& facts, MSAAPROPID* properties) {
  int count = 0;
  HWND parent = GetParent(control);
  if (facts.picture) {
    count = 3;
  } else if (parent && IsClass(parent, WC_COMBOBOXW)) {
    count = 0;
  } else if (IsEditable(control)) {
    count = 3;
  } else if (IsClass(control, L"Button") || IsClass(control, WC_COMBOBOXW) ||
             (IsClass(control, L"Static") && !ShowsAmpersands(control))) {
    count = 1;
  }
  const MSAAPROPID corrected[] = {PROPID_ACC_NAME, PROPID_ACC_ROLE, PROPID_ACC_STATE};
  for (int i = 0; i < count; ++i) properties[i] = corrected[i];
  return count;
}

// The object a screen reader gets for `window`, or nothing.
IAccessible* ObjectOf(HWND window) {
  IAccessible* object = nullptr;
  if (FAILED(AccessibleObjectFromWindow(window, OBJID_CLIENT, __uuidof(IAccessible),
                                        reinterpret_cast<void**>(&object))))
    return nullptr;
  return object;
}

VARIANT Self() {
  VARIANT self = {};
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  return self;
}

// What a screen reader reads of `control` now: its name and role.
bool Read(HWND control, std::wstring* name, LONG* role) {
  IAccessible* object = ObjectOf(control);
  if (!object) return false;
  BSTR text = nullptr;
  if (object->get_accName(Self(), &text) == S_OK && text) name->assign(text);
  SysFreeString(text);
  VARIANT answer = {};
  if (SUCCEEDED(object->get_accRole(Self(), &answer)) && answer.vt == VT_I4) *role = answer.lVal;
  VariantClear(&answer);
  object->Release();
  return true;
}

// Annotates controls through the system's annotation service, when there
// is one (COM must be initialised on this thread).
class Annotator {
 public:
  Annotator() {
    CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                     reinterpret_cast<void**>(&services_));
  }
  ~Annotator() {
    if (services_) services_->Release();
  }
  Annotator(const Annotator&) = delete;
  Annotator& operator=(const Annotator&) = delete;

  // Whether the system's object for `window` reads out an annotation of it:
  // a description put on it for the moment.
  bool Honoured(HWND window) {
    if (g_annotations_honoured_for_testing) return *g_annotations_honoured_for_testing;
    static constexpr wchar_t kMark[] = L"Norva annotation check";
    if (!services_ || FAILED(services_->SetHwndPropStr(window, OBJID_CLIENT, CHILDID_SELF,
                                                        PROPID_ACC_DESCRIPTION, kMark))) {
      return false;
    }
    bool honoured = false;
    if (IAccessible* object = ObjectOf(window)) {
      BSTR description = nullptr;
      honoured = object->get_accDescription(Self(), &description) == S_OK && description &&
                 std::wstring(description) == kMark;
      SysFreeString(description);
      object->Release();
    }
    services_->ClearHwndProps(window, OBJID_CLIENT, CHILDID_SELF, &PROPID_ACC_DESCRIPTION, 1);
    return honoured;
  }

  // Corrects what the system's object for `control` gets wrong, and reads it
  // back; false (and nothing left annotated) when that did not take.
  bool Correct(HWND control, const ControlFacts& facts) {
    MSAAPROPID properties[3];
    int count = PropertiesToCorrect(control, facts, properties);
    if (count == 0) return true;
    if (!services_) return false;
    auto* annotation = new ControlAnnotation(control, facts);
    HRESULT result = services_->SetHwndPropServer(control, OBJID_CLIENT, CHILDID_SELF, properties,
                                                  count, annotation, ANNO_THIS);
    annotation->Release();
    if (FAILED(result)) return false;
    std::wstring name;
    LONG role = 0;
    LONG corrected_role = CorrectedRole(control, facts);
    std::wstring corrected_name = NameOf(control, facts);
    if (Read(control, &name, &role) && (corrected_name.empty() || name == corrected_name) &&
        (!corrected_role || role == corrected_role)) {
      return true;
    }
    services_->ClearHwndProps(control, OBJID_CLIENT, CHILDID_SELF, properties, count);
    return false;
  }

 private:
  IAccPropServices* services_ = nullptr;
};

ControlFacts* FactsOf(HWND control) {
  return static_cast<ControlFacts*>(GetPropW(control, kFactsProperty));
}

}  // namespace

void ExposeToScreenReaders(HWND parent) {
  struct Exposure {
    Annotator annotator;
    bool honoured = false;
  } exposure;
  exposure.honoured = exposure.annotator.Honoured(parent);
  EnumChildWindows(
      parent,
      [](HWND control, LPARAM data) {
        auto* exposure = reinterpret_cast<Exposure*>(data);
        // A control that answers for itself keeps doing so.
        if (!exposure->honoured || FactsOf(control) ||
            !exposure->annotator.Correct(control, ControlFacts())) {
          Expose(control);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&exposure));
}

void NamePicture(HWND picture, const std::wstring& name) {
  const ControlFacts named{name, true};
  ControlFacts* facts = FactsOf(picture);
  if (facts) {
    if (facts->picture && facts->name == name) return;
  } else {
    std::wstring heard_name;
    LONG heard_role = 0;
    if (Read(picture, &heard_name, &heard_role) && heard_role == ROLE_SYSTEM_GRAPHIC &&
        heard_name == name) {
      return;
    }
    if (!Annotator().Correct(picture, named) && !(facts = Expose(picture))) return;
  }
  if (facts) *facts = named;
  NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, picture, OBJID_CLIENT, CHILDID_SELF);
}

void AnnounceFocus() {
  if (HWND focus = GetFocus())
    NotifyWinEvent(EVENT_OBJECT_FOCUS, focus, OBJID_CLIENT, CHILDID_SELF);
}

void SetAnnotationsHonouredForTesting(std::optional<bool> honoured) {
  g_annotations_honoured_for_testing = honoured;
}

}  // namespace norva::installer
