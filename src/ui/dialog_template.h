#ifndef NORVA_UI_DIALOG_TEMPLATE_H_
#define NORVA_UI_DIALOG_TEMPLATE_H_

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace norva::installer {

// Where an extended dialog template puts its dialog and its controls, in
// dialog units, and the font those units are measured in: what a dialog is
// laid out again from when its DPI changes.
struct DialogLayout {
  struct Control {
    int id;
    POINT position;
    SIZE size;
  };
  POINT position = {};
  SIZE size = {};
  std::vector<Control> controls;
  // The template's font; its height in points.
  int font_points = 8;
  int font_weight = FW_NORMAL;
  bool font_italic = false;
  BYTE font_charset = DEFAULT_CHARSET;
  std::wstring font_face = L"MS Shell Dlg";
};

// Reads template `id` of `module`; false when it is missing or is not an
// extended template that reads whole.
bool ReadDialogLayout(HINSTANCE module, int id, DialogLayout* layout);

// A control of a template before it is made: what a caller may change of
// it. Its place is in dialog units.
struct TemplateControl {
  int id;
  DWORD ex_style;
  POINT position;
  SIZE size;
};
// Changes `control` of a template whose dialog is `dialog` units large.
using ControlEdit = std::function<void(SIZE dialog, TemplateControl& control)>;

// A copy of extended template `id` of `module` with each control passed
// through `edit`; empty when the template is missing or does not read whole.
// Allocated, so aligned as a template must be.
std::vector<BYTE> EditDialogTemplate(HINSTANCE module, int id, const ControlEdit& edit);

// An extended dialog template of the resources, split in two: the controls
// the dialog is made with, and the others, made once it is on screen. Each
// control costs about as much to make as a page's worth of painting, and a
// page shows only a few of them.
class SplitDialogTemplate {
 public:
  // Reads template `id` of `module`, each control passed through `edit`
  // (EditDialogTemplate); `first(control id)` picks the controls the dialog
  // is made with. False when the template is missing or is not an extended
  // one that reads whole.
  bool Load(HINSTANCE module, int id, const std::function<bool(int)>& first,
            const ControlEdit& edit = nullptr);
  // The template with the first controls only; valid while this lives.
  const DLGTEMPLATE* first_template() const {
    return reinterpret_cast<const DLGTEMPLATE*>(first_.data());
  }
  // Makes the other controls in `dialog` (made from first_template()), with
  // the dialog's font, each where the template puts it in the tab order.
  // Returns those made; the rest are left out, with the system's reason
  // logged.
  std::vector<HWND> CreateLaterControls(HWND dialog) const;

 private:
  struct LaterControl {
    DWORD ex_style;
    DWORD style;
    RECT units;  // dialog units
    int id;
    // Both point into source_; the class may be an atom (MAKEINTATOM).
    const wchar_t* class_name;
    const wchar_t* text;
    int previous_id;  // the control before it in the template; 0 for none
  };

  // The whole template, as edited.
  std::vector<BYTE> source_;
  // Allocated, so aligned as a template must be.
  std::vector<BYTE> first_;
  std::vector<LaterControl> later_;
};

}  // namespace norva::installer

#endif  // NORVA_UI_DIALOG_TEMPLATE_H_
