#include "ui/dialog_template.h"

#include <cstring>
#include <utility>

#include "base/logging.h"

namespace norva::installer {
namespace {

// Walks a template's bytes; every read checks that the bytes are there.
class TemplateReader {
 public:
  TemplateReader(const BYTE* data, size_t size) : data_(data), size_(size) {}

  size_t offset() const { return offset_; }
  bool ok() const { return ok_; }

  template <typename T>
  T Read() {
    T value{};
    if (!Need(sizeof(T))) return value;
    memcpy(&value, data_ + offset_, sizeof(T));
    offset_ += sizeof(T);
    return value;
  }
  // A name or an ordinal (sz_Or_Ord): a pointer to the name's text in the
  // template, or the ordinal as MAKEINTATOM makes it.
  const wchar_t* ReadNameOrOrdinal() {
    const auto* at = reinterpret_cast<const wchar_t*>(data_ + offset_);
    WORD first = Read<WORD>();
    if (first == 0xFFFF) return MAKEINTATOM(Read<WORD>());
    for (WORD c = first; ok_ && c != 0;) c = Read<WORD>();  // to the terminating 0
    return at;
  }
  void Skip(size_t bytes) {
    if (Need(bytes)) offset_ += bytes;
  }
  void AlignToDword() { Skip((4 - offset_ % 4) % 4); }

 private:
  bool Need(size_t bytes) {
    if (!ok_ || bytes > size_ - offset_) ok_ = false;
    return ok_;
  }

  const BYTE* data_;
  size_t size_;
  size_t offset_ = 0;
  bool ok_ = true;
};

// What the header of an extended template says.
struct TemplateHeader {
  DWORD style = 0;
  WORD count = 0;
  POINT position = {};
  SIZE size = {};
  WORD font_points = 0, font_weight = 0;
  bool font_italic = false;
  BYTE font_charset = 0;
  const wchar_t* font_face = nullptr;
};

// One control of a template, with where its bytes start and end.
struct TemplateItem {
  size_t start = 0, end = 0;
  DWORD ex_style = 0, style = 0;
  POINT position = {};
  SIZE size = {};
  int id = 0;
  const wchar_t* class_name = nullptr;
  const wchar_t* text = nullptr;
  WORD extra = 0;  // bytes of creation data
};

// Reads an extended template's header; false when it is not one.
bool ReadHeader(TemplateReader& reader, TemplateHeader* header) {
  if (reader.Read<WORD>() != 1 || reader.Read<WORD>() != 0xFFFF) return false;
  reader.Skip(8);  // help id, extended style
  header->style = reader.Read<DWORD>();
  header->count = reader.Read<WORD>();
  header->position.x = reader.Read<short>();
  header->position.y = reader.Read<short>();
  header->size.cx = reader.Read<short>();
  header->size.cy = reader.Read<short>();
  reader.ReadNameOrOrdinal();  // menu
  reader.ReadNameOrOrdinal();  // class
  reader.ReadNameOrOrdinal();  // title
  if (header->style & DS_SETFONT) {
    header->font_points = reader.Read<WORD>();
    header->font_weight = reader.Read<WORD>();
    header->font_italic = reader.Read<BYTE>() != 0;
    header->font_charset = reader.Read<BYTE>();
    header->font_face = reader.ReadNameOrOrdinal();
  }
  return reader.ok();
}

// Reads the next control; false when its bytes are not all there.
bool ReadItem(TemplateReader& reader, TemplateItem* item) {
  reader.AlignToDword();
  item->start = reader.offset();
  reader.Skip(4);  // help id
  item->ex_style = reader.Read<DWORD>();
  item->style = reader.Read<DWORD>();
  item->position.x = reader.Read<short>();
  item->position.y = reader.Read<short>();
  item->size.cx = reader.Read<short>();
  item->size.cy = reader.Read<short>();
  item->id = static_cast<int>(reader.Read<DWORD>());
  item->class_name = reader.ReadNameOrOrdinal();
  item->text = reader.ReadNameOrOrdinal();
  item->extra = reader.Read<WORD>();
  reader.Skip(item->extra);
  item->end = reader.offset();
  return reader.ok();
}

constexpr size_t kItemCountOffset = 16;  // after dlgVer, signature, helpID, exStyle, style
constexpr WORD kButtonAtom = 0x0080;

// The template resource `id` of `module`; empty when it is missing.
std::pair<const BYTE*, size_t> FindTemplate(HINSTANCE module, int id) {
  HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));  // RT_DIALOG
  HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
  const auto* data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  if (!data) return {nullptr, 0};
  return {data, SizeofResource(module, resource)};
}

// Puts `value` at `offset` of `bytes`.
template <typename T>
void Write(std::vector<BYTE>& bytes, size_t offset, T value) {
  memcpy(bytes.data() + offset, &value, sizeof(T));
}

}  // namespace

std::vector<BYTE> EditDialogTemplate(HINSTANCE module, int id, const ControlEdit& edit) {
  auto [data, size] = FindTemplate(module, id);
  if (!data) return {};
  std::vector<BYTE> edited(data, data + size);
  TemplateReader reader(data, size);
  TemplateHeader header;
  if (!ReadHeader(reader, &header)) return {};
  for (WORD i = 0; i < header.count; ++i) {
    TemplateItem item;
    if (!ReadItem(reader, &item)) return {};
    if (!edit) continue;
    TemplateControl control = {item.id, item.ex_style, item.position, item.size};
    edit(header.size, control);
    Write<DWORD>(edited, item.start + 4, control.ex_style);
    Write<short>(edited, item.start + 12, static_cast<short>(control.position.x));
    Write<short>(edited, item.start + 14, static_cast<short>(control.position.y));
    Write<short>(edited, item.start + 16, static_cast<short>(control.size.cx));
    Write<short>(edited, item.start + 18, static_cast<short>(control.size.cy));
  }
  return edited;
}

bool ReadDialogLayout(HINSTANCE module, int id, DialogLayout* layout) {
  auto [data, size] = FindTemplate(module, id);
  if (!data) return false;
  TemplateReader reader(data, size);
  TemplateHeader header;
  if (!ReadHeader(reader, &header)) return false;
  DialogLayout read;
  read.position = header.position;
  read.size = header.size;
  if (header.style & DS_SETFONT) {
    read.font_points = header.font_points;
    read.font_weight = header.font_weight;
    read.font_italic = header.font_italic;
    read.font_charset = header.font_charset;
    if (!IS_INTRESOURCE(header.font_face)) read.font_face = header.font_face;
  }
  for (WORD i = 0; i < header.count; ++i) {
    TemplateItem item;
    if (!ReadItem(reader, &item)) return false;
    read.controls.push_back({item.id, item.position, item.size});
  }
  *layout = std::move(read);
  return true;
}

bool SplitDialogTemplate::Load(HINSTANCE module, int id, const std::function<bool(int)>& first,
                               const ControlEdit& edit) {
  later_.clear();
  source_ = EditDialogTemplate(module, id, edit);
  if (source_.empty()) return false;
  const BYTE* data = source_.data();
  TemplateReader reader(data, source_.size());
  TemplateHeader header;
  if (!ReadHeader(reader, &header)) return false;
  first_.assign(data, data + reader.offset());
  WORD first_count = 0;
  int previous_id = 0;
  for (WORD i = 0; i < header.count; ++i) {
    TemplateItem item;
    if (!ReadItem(reader, &item)) {
      later_.clear();
      return false;
    }
    LaterControl control{item.ex_style, item.style,
                         {item.position.x, item.position.y, item.position.x + item.size.cx,
                          item.position.y + item.size.cy},
                         item.id, item.class_name, item.text, previous_id};
    previous_id = control.id;
    // Extra creation data is not passed on to a later control.
    if (first(control.id) || item.extra || IS_INTRESOURCE(control.text)) {
      first_.resize((first_.size() + 3) & ~size_t{3});
      first_.insert(first_.end(), data + item.start, data + item.end);
      ++first_count;
    } else {
      later_.push_back(control);
    }
  }
  memcpy(first_.data() + kItemCountOffset, &first_count, sizeof(first_count));
  return true;
}

std::vector<HWND> SplitDialogTemplate::CreateLaterControls(HWND dialog) const {
  std::vector<HWND> made;
  auto font =
      reinterpret_cast<WPARAM>(reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)));
  HINSTANCE module = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(dialog, GWLP_HINSTANCE));
  for (const LaterControl& control : later_) {
    RECT rect = control.units;
    MapDialogRect(dialog, &rect);
    DWORD style = control.style | WS_CHILD;
    // The dialog has its default button by now: another one is made plain.
    bool button = IS_INTRESOURCE(control.class_name)
                      ? control.class_name == MAKEINTATOM(kButtonAtom)
                      : _wcsicmp(control.class_name, L"Button") == 0;
    if (button && (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON &&
        LOWORD(SendMessageW(dialog, DM_GETDEFID, 0, 0)) != control.id)
      style = (style & ~BS_TYPEMASK) | BS_PUSHBUTTON;
    DWORD ex_style = control.ex_style | WS_EX_NOPARENTNOTIFY;
    // As the dialog manager draws a bordered control: sunken.
    if (style & WS_BORDER) {
      style &= ~WS_BORDER;
      ex_style |= WS_EX_CLIENTEDGE;
    }
    HWND window =
        CreateWindowExW(ex_style, control.class_name, control.text, style, rect.left, rect.top,
                        rect.right - rect.left, rect.bottom - rect.top, dialog,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), module, nullptr);
    if (!window) {
      PLOG(ERROR) << "Could not make control " << control.id;
      continue;
    }
    SendMessageW(window, WM_SETFONT, font, FALSE);
    // Right after the control before it in the template.
    HWND previous = control.previous_id ? GetDlgItem(dialog, control.previous_id) : HWND_TOP;
    if (previous)
      SetWindowPos(window, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    made.push_back(window);
  }
  return made;
}

}  // namespace norva::installer
