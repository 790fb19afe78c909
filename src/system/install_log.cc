#include "system/install_log.h"

#include <msxml2.h>
#include <wrl/client.h>

#include <cstring>
#include <iterator>
#include <utility>

#include "base/com_types.h"
#include "base/file_util.h"
#include "base/logging.h"
#include "base/strings.h"

// msxml2.h leaves these out of __uuidof, which ComPtr::As needs.
__CRT_UUID_DECL(IXMLDOMNode, 0x2933bf80, 0x7b36, 0x11d2, 0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e,
                0x60)
__CRT_UUID_DECL(IXMLDOMDocument2, 0x2933bf95, 0x7b36, 0x11d2, 0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98,
                0x3e, 0x60)
__CRT_UUID_DECL(IXMLDOMElement, 0x2933bf86, 0x7b36, 0x11d2, 0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98,
                0x3e, 0x60)

namespace norva::installer {
namespace {

using Microsoft::WRL::ComPtr;

// "Msxml2.DOMDocument.3.0": the parser every supported system carries.
// Far above the record of any installation.
constexpr size_t kMaxFileSize = 16 << 20;

const CLSID kDomDocument30 = {
    0xf5078f32, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};

// The parser refuses document types itself (ProhibitDTD), but Wine's MSXML
// ignores that property, so the bytes are looked at first as well. Without
// their zero bytes, UTF-16 and UTF-32 of either byte order, with or without a
// byte-order mark, show their ASCII markup as UTF-8 does.
bool DeclaresDocumentType(std::string_view bytes) {
  std::string markup;
  markup.reserve(bytes.size());
  for (char c : bytes)
    if (c != '\0') markup += c;
  return markup.find("<!DOCTYPE") != std::string::npos;
}

const char* const kTypeNames[] = {"REG_NONE",
                                  "REG_SZ",
                                  "REG_EXPAND_SZ",
                                  "REG_BINARY",
                                  "REG_DWORD",
                                  "REG_DWORD_BIG_ENDIAN",
                                  "REG_LINK",
                                  "REG_MULTI_SZ",
                                  "REG_RESOURCE_LIST",
                                  "REG_FULL_RESOURCE_DESCRIPTOR",
                                  "REG_RESOURCE_REQUIREMENTS_LIST",
                                  "REG_QWORD"};

// An XML document and the element at which reading or writing stands.
class XmlCursor {
 public:
  enum class Move { kFound, kNone, kError };

  bool Create() {
    if (FAILED(CoCreateInstance(kDomDocument30, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IXMLDOMDocument, &document_))) {
      return false;
    }
    return SUCCEEDED(document_.As(&current_));
  }

  // The parser gets the bytes, not the path: a path is taken as a URL, so a
  // folder name with "%20" or "#" would name another file or none.
  bool Load(const FilePath& file) {
    std::string bytes;
    if (!ReadFileToString(file, &bytes, kMaxFileSize)) return false;
    // We never write a document type; one that declares entities could make
    // the parser expand them without end.
    if (DeclaresDocumentType(bytes)) {
      LOG(ERROR) << "Install log declares a document type: " << file;
      return false;
    }
    Variant source;
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!array) return false;
    memcpy(array->pvData, bytes.data(), bytes.size());
    source.ptr()->vt = VT_ARRAY | VT_UI1;
    source.ptr()->parray = array;  // released with `source`
    ComPtr<IXMLDOMDocument2> parser;
    Variant prohibit;
    prohibit.ptr()->vt = VT_BOOL;
    prohibit.ptr()->boolVal = VARIANT_TRUE;
    VARIANT_BOOL loaded = VARIANT_FALSE;
    return SUCCEEDED(document_.As(&parser)) &&
           SUCCEEDED(parser->setProperty(Bstr(L"ProhibitDTD").get(), prohibit.get())) &&
           SUCCEEDED(document_->put_async(VARIANT_FALSE)) &&
           SUCCEEDED(document_->put_validateOnParse(VARIANT_FALSE)) &&
           SUCCEEDED(document_->put_resolveExternals(VARIANT_FALSE)) &&
           document_->load(source.get(), &loaded) == S_OK && loaded == VARIANT_TRUE;
  }

  // Writing.
  bool OpenChild(const wchar_t* name) {
    ComPtr<IXMLDOMElement> element;
    ComPtr<IXMLDOMNode> appended;
    if (FAILED(document_->createElement(Bstr(name).get(), &element)) ||
        FAILED(current_->appendChild(element.Get(), &appended))) {
      return false;
    }
    current_ = appended;
    return true;
  }
  bool SetAttribute(const wchar_t* name, const std::string& value) {
    ComPtr<IXMLDOMElement> element;
    Variant text(Utf8ToWide(value));
    return SUCCEEDED(current_.As(&element)) &&
           SUCCEEDED(element->setAttribute(Bstr(name).get(), text.get()));
  }
  bool SetText(const std::string& text) {
    return SUCCEEDED(current_->put_text(Bstr(Utf8ToWide(text)).get()));
  }
  bool Close() { return Parent() == Move::kFound; }

  // Reading. Moves skip everything that is not an element.
  Move FirstChild() {
    ComPtr<IXMLDOMNode> node;
    if (FAILED(current_->get_firstChild(&node))) return Move::kError;
    return SkipToElement(node);
  }
  Move NextSibling() {
    ComPtr<IXMLDOMNode> node;
    if (FAILED(current_->get_nextSibling(&node))) return Move::kError;
    return SkipToElement(node);
  }
  Move Parent() {
    ComPtr<IXMLDOMNode> node;
    HRESULT result = current_->get_parentNode(&node);
    if (FAILED(result)) return Move::kError;
    if (!node) return Move::kNone;
    current_ = node;
    return Move::kFound;
  }
  std::wstring Name() const {
    Bstr name;
    if (FAILED(current_->get_nodeName(name.Receive())) || !name.get()) return std::wstring();
    return name.get();
  }
  bool Text(std::string* text) const {
    Bstr value;
    if (FAILED(current_->get_text(value.Receive()))) return false;
    *text = WideToUtf8(value.str());
    return true;
  }
  // False when the attribute is absent.
  bool Attribute(const wchar_t* name, std::string* value) const {
    ComPtr<IXMLDOMElement> element;
    Variant result;
    if (FAILED(current_.As(&element)) ||
        element->getAttribute(Bstr(name).get(), result.ptr()) != S_OK ||
        result.get().vt != VT_BSTR) {
      return false;
    }
    const BSTR text = result.get().bstrVal;
    *value = WideToUtf8(std::wstring_view(text, SysStringLen(text)));
    return true;
  }
  IXMLDOMNode* current() const { return current_.Get(); }
  IXMLDOMDocument* document() const { return document_.Get(); }

 private:
  Move SkipToElement(ComPtr<IXMLDOMNode> node) {
    while (node) {
      DOMNodeType type;
      if (FAILED(node->get_nodeType(&type))) return Move::kError;
      if (type == NODE_ELEMENT) {
        current_ = node;
        return Move::kFound;
      }
      ComPtr<IXMLDOMNode> next;
      if (FAILED(node->get_nextSibling(&next))) return Move::kError;
      node = next;
    }
    return Move::kNone;
  }

  ComPtr<IXMLDOMDocument> document_;
  ComPtr<IXMLDOMNode> current_;
};

}  // namespace

void RecordRegistryValue(std::vector<InstallLogKey>* keys, const std::wstring& key_path,
                         const std::wstring& value_name, const void* data, DWORD type, DWORD size,
                         int clean_level) {
  if (type == 0xFFFFFFFF || type >= std::size(kTypeNames)) return;
  std::string path = WideToUtf8(key_path);
  InstallLogKey* key = nullptr;
  for (auto it = keys->rbegin(); it != keys->rend() && !key; ++it)
    if (EqualsCaseInsensitiveASCII(it->path, path)) key = &*it;
  if (key) {
    if (clean_level > key->clean) key->clean = clean_level;
  } else {
    keys->push_back({clean_level, path, {}});
    key = &keys->back();
  }
  InstallLogValue value{kTypeNames[type], WideToUtf8(value_name), std::string()};
  const BYTE* bytes = static_cast<const BYTE*>(data);
  if ((type == REG_SZ || type == REG_EXPAND_SZ) && bytes) {
    std::wstring_view text(static_cast<const wchar_t*>(data), size / sizeof(wchar_t));
    value.data = WideToUtf8(text.substr(0, text.find(L'\0')));
  } else if (type == REG_BINARY && bytes) {
    for (DWORD i = 0; i < size; ++i) value.data += StringPrintf(i ? ",%.2x" : "%.2x", bytes[i]);
  } else if (type == REG_DWORD && bytes && size >= sizeof(DWORD)) {
    DWORD number;
    memcpy(&number, data, sizeof(number));
    value.data = StringPrintf("%.8lx", static_cast<unsigned long>(number));
  }
  key->values.push_back(std::move(value));
}

}  // namespace norva::installer

namespace norva::installer {
namespace {

const char* BoolText(bool value) { return value ? "True" : "False"; }

std::string PathText(const FilePath& path) { return WideToUtf8(path.native()); }

void AppendEscaped(std::string_view text, bool attribute, std::string* out) {
  for (char c : text) {
    switch (c) {
      case '&': *out += "&amp;"; break;
      case '<': *out += "&lt;"; break;
      case '>': *out += "&gt;"; break;
      case '"':
        *out += attribute ? "&quot;" : "\"";
        break;
      default: *out += c;
    }
  }
}

// The concatenated value of the text children; false when an element child
// makes this a container.
bool TextContent(IXMLDOMNode* element, std::string* text) {
  ComPtr<IXMLDOMNode> child;
  element->get_firstChild(&child);
  while (child) {
    DOMNodeType type;
    child->get_nodeType(&type);
    if (type == NODE_ELEMENT) return false;
    if (type == NODE_TEXT || type == NODE_CDATA_SECTION) {
      Variant value;
      if (SUCCEEDED(child->get_nodeValue(value.ptr())) && value.get().vt == VT_BSTR)
        *text += WideToUtf8(std::wstring_view(value.get().bstrVal,
                                              SysStringLen(value.get().bstrVal)));
    }
    ComPtr<IXMLDOMNode> next;
    child->get_nextSibling(&next);
    child = next;
  }
  return true;
}

bool PrintAttributes(IXMLDOMNode* element, std::string* out) {
  ComPtr<IXMLDOMNamedNodeMap> attributes;
  long count = 0;
  if (FAILED(element->get_attributes(&attributes)) || !attributes ||
      FAILED(attributes->get_length(&count))) {
    return false;
  }
  for (long i = 0; i < count; ++i) {
    ComPtr<IXMLDOMNode> attribute;
    Bstr name, value;
    if (FAILED(attributes->get_item(i, &attribute)) || !attribute ||
        FAILED(attribute->get_nodeName(name.Receive())) ||
        FAILED(attribute->get_text(value.Receive()))) {
      return false;
    }
    *out += ' ' + WideToUtf8(name.str()) + "=\"";
    AppendEscaped(WideToUtf8(value.str()), true, out);
    *out += '"';
  }
  return true;
}

// One element per line, indented by one blank per level; an element holding
// only text keeps it on its line. The DOM is printed by hand because MSXML's
// own serialisation puts the whole tree on one line.
bool PrintElement(IXMLDOMNode* element, int depth, std::string* out) {
  Bstr name;
  if (FAILED(element->get_nodeName(name.Receive()))) return false;
  out->append(depth, ' ');
  *out += '<' + WideToUtf8(name.str());
  if (!PrintAttributes(element, out)) return false;
  std::string text;
  if (TextContent(element, &text)) {
    if (text.empty()) {
      *out += "/>\n";
    } else {
      *out += '>';
      AppendEscaped(text, false, out);
      *out += "</" + WideToUtf8(name.str()) + ">\n";
    }
    return true;
  }
  *out += ">\n";
  ComPtr<IXMLDOMNode> child;
  element->get_firstChild(&child);
  while (child) {
    DOMNodeType type;
    child->get_nodeType(&type);
    if (type == NODE_ELEMENT && !PrintElement(child.Get(), depth + 1, out)) return false;
    ComPtr<IXMLDOMNode> next;
    child->get_nextSibling(&next);
    child = next;
  }
  out->append(depth, ' ');
  *out += "</" + WideToUtf8(name.str()) + ">\n";
  return true;
}

bool WriteTextElement(XmlCursor* cursor, const wchar_t* name, const std::string& text) {
  return cursor->OpenChild(name) && cursor->SetText(text) && cursor->Close();
}

bool WriteFileList(XmlCursor* cursor, const wchar_t* name,
                   const std::vector<FilePath>& files) {
  if (!cursor->OpenChild(name)) return false;
  for (const FilePath& file : files)
    if (!WriteTextElement(cursor, L"file", PathText(file))) return false;
  return cursor->Close();
}

bool WriteRegistry(XmlCursor* cursor, const char* hive, const std::vector<InstallLogKey>& keys) {
  if (keys.empty()) return true;
  if (!cursor->OpenChild(L"registry") || !cursor->SetAttribute(L"hive", hive)) return false;
  for (const InstallLogKey& key : keys) {
    if (!cursor->OpenChild(L"key") || !cursor->SetAttribute(L"path", key.path) ||
        !cursor->SetAttribute(L"clean", StringPrintf("%d", key.clean))) {
      return false;
    }
    for (const InstallLogValue& value : key.values) {
      if (!cursor->OpenChild(L"value") || !cursor->SetAttribute(L"name", value.name) ||
          !cursor->SetAttribute(L"type", value.type) || !cursor->SetText(value.data) ||
          !cursor->Close()) {
        return false;
      }
    }
    if (!cursor->Close()) return false;
  }
  return cursor->Close();
}

bool WriteShortcut(XmlCursor* cursor, const char* type, const FilePath& path) {
  return path.empty() || (cursor->OpenChild(L"shortcut") && cursor->SetAttribute(L"type", type) &&
                          cursor->SetText(PathText(path)) && cursor->Close());
}

bool BuildTree(const InstallLog& log, XmlCursor* cursor) {
  return cursor->OpenChild(L"install_log") && cursor->SetAttribute(L"version", log.version) &&
         cursor->SetAttribute(L"copy_only", BoolText(log.copy_only)) &&
         cursor->SetAttribute(L"all_users", BoolText(log.all_users)) &&
         cursor->SetAttribute(L"pinned", BoolText(log.pinned)) &&
         cursor->SetAttribute(L"app_id", log.app_id) && cursor->OpenChild(L"path") &&
         cursor->SetAttribute(L"subfolder", PathText(log.subfolder)) &&
         cursor->SetText(PathText(log.path)) && cursor->Close() &&
         WriteFileList(cursor, L"files", log.files) &&
         (log.root_files.empty() || WriteFileList(cursor, L"root_files", log.root_files)) &&
         WriteRegistry(cursor, "HKLM", log.hklm_keys) &&
         WriteRegistry(cursor, "HKCU", log.hkcu_keys) &&
         WriteShortcut(cursor, log.all_users ? "SC_DEST_COMMON_DESKTOP" : "SC_DEST_DESKTOP",
                       log.desktop_shortcut) &&
         WriteShortcut(cursor, log.all_users ? "SC_DEST_COMMON_MENU" : "SC_DEST_MENU",
                       log.menu_shortcut) &&
         WriteShortcut(cursor, "SC_DEST_QUICK_LAUNCH", log.quick_launch_shortcut) &&
         cursor->Close();
}

}  // namespace

bool WriteInstallLog(const InstallLog& log, std::string* text) {
  XmlCursor cursor;
  if (!cursor.Create() || !BuildTree(log, &cursor)) return false;
  ComPtr<IXMLDOMElement> root;
  if (cursor.document()->get_documentElement(&root) != S_OK) return false;
  std::string tree;
  if (!PrintElement(root.Get(), 0, &tree)) return false;
  // Every line, the last included, ends with one LF; tabs become blanks and
  // carriage returns go, values included.
  text->assign("<?xml version=\"1.0\"?>\n");
  for (char c : tree) {
    if (c != '\r') *text += c == '\t' ? ' ' : c;
  }
  return true;
}

}  // namespace norva::installer

namespace norva::installer {
namespace {

using Move = XmlCursor::Move;

bool IsNamed(const XmlCursor& cursor, const wchar_t* name) { return cursor.Name() == name; }

bool ReadFlag(const XmlCursor& cursor, const wchar_t* name, bool* flag) {
  std::string text;
  if (!cursor.Attribute(name, &text)) return false;
  *flag = text == "True";
  return true;
}

// Decoded and trimmed text of the current element.
bool ReadPathText(const XmlCursor& cursor, FilePath* path) {
  std::string text;
  if (!cursor.Text(&text)) return false;
  *path = TrimWhitespace(Utf8ToWide(text));
  return true;
}

// The `file` children of the current list element; the cursor returns to it.
bool ReadFileList(XmlCursor* cursor, bool allow_empty, std::vector<FilePath>* files) {
  Move move = cursor->FirstChild();
  if (move == Move::kNone) return allow_empty;
  for (; move == Move::kFound; move = cursor->NextSibling()) {
    FilePath file;
    if (!IsNamed(*cursor, L"file") || !ReadPathText(*cursor, &file)) return false;
    // Whatever reads the list deletes these paths below the installation.
    if (!IsSafeRelativePath(file)) {
      LOG(WARNING) << "Ignoring install log entry outside the installation: " << file;
      continue;
    }
    files->push_back(std::move(file));
  }
  return move == Move::kNone && cursor->Parent() == Move::kFound;
}

bool ReadValue(const XmlCursor& cursor, InstallLogKey* key) {
  InstallLogValue value;
  if (!IsNamed(cursor, L"value") || !cursor.Attribute(L"name", &value.name) ||
      !cursor.Attribute(L"type", &value.type) || !cursor.Text(&value.data)) {
    return false;
  }
  value.data = TrimWhitespaceASCII(value.data);
  key->values.push_back(std::move(value));
  return true;
}

bool ReadKey(XmlCursor* cursor, std::vector<InstallLogKey>* keys) {
  InstallLogKey key;
  std::string clean;
  if (!IsNamed(*cursor, L"key") || !cursor->Attribute(L"path", &key.path) ||
      !cursor->Attribute(L"clean", &clean) || !StringToInt(clean, &key.clean)) {
    return false;
  }
  Move move = cursor->FirstChild();
  if (move == Move::kFound) {
    for (; move == Move::kFound; move = cursor->NextSibling())
      if (!ReadValue(*cursor, &key)) return false;
    if (move != Move::kNone || cursor->Parent() != Move::kFound) return false;
  }
  if (move == Move::kError) return false;
  keys->push_back(std::move(key));
  return true;
}

bool ReadRegistry(XmlCursor* cursor, InstallLog* log) {
  std::string hive;
  if (!cursor->Attribute(L"hive", &hive)) return false;
  std::vector<InstallLogKey>* keys = hive == "HKLM"   ? &log->hklm_keys
                                     : hive == "HKCU" ? &log->hkcu_keys
                                                      : nullptr;
  if (!keys || cursor->FirstChild() != Move::kFound) return false;
  Move move = Move::kFound;
  for (; move == Move::kFound; move = cursor->NextSibling())
    if (!ReadKey(cursor, keys)) return false;
  return move == Move::kNone && cursor->Parent() == Move::kFound;
}

bool ReadShortcut(const XmlCursor& cursor, InstallLog* log) {
  std::string type;
  FilePath path;
  if (!cursor.Attribute(L"type", &type) || !ReadPathText(cursor, &path)) return false;
  if (type == "SC_DEST_DESKTOP" || type == "SC_DEST_COMMON_DESKTOP")
    log->desktop_shortcut = path;
  else if (type == "SC_DEST_MENU" || type == "SC_DEST_COMMON_MENU")
    log->menu_shortcut = path;
  else if (type == "SC_DEST_QUICK_LAUNCH")
    log->quick_launch_shortcut = path;
  else
    return false;
  return true;
}

bool ReadHeader(XmlCursor* cursor, InstallLog* log) {
  if (cursor->FirstChild() != Move::kFound || !IsNamed(*cursor, L"install_log") ||
      !cursor->Attribute(L"version", &log->version)) {
    return false;
  }
  cursor->Attribute(L"app_id", &log->app_id);
  if (!ReadFlag(*cursor, L"copy_only", &log->copy_only) ||
      !ReadFlag(*cursor, L"all_users", &log->all_users) ||
      !ReadFlag(*cursor, L"pinned", &log->pinned)) {
    return false;
  }
  if (cursor->FirstChild() != Move::kFound || !IsNamed(*cursor, L"path")) return false;
  std::string subfolder;
  if (cursor->Attribute(L"subfolder", &subfolder))
    log->subfolder = TrimWhitespace(Utf8ToWide(subfolder));
  return ReadPathText(*cursor, &log->path);
}

// Everything after `files`: root files, registry, shortcuts, in that order.
bool ReadTail(XmlCursor* cursor, InstallLog* log) {
  Move move = cursor->NextSibling();
  if (move == Move::kFound && IsNamed(*cursor, L"root_files")) {
    if (!ReadFileList(cursor, false, &log->root_files)) return false;
    move = cursor->NextSibling();
  }
  for (; move == Move::kFound && IsNamed(*cursor, L"registry"); move = cursor->NextSibling())
    if (!ReadRegistry(cursor, log)) return false;
  for (; move == Move::kFound && IsNamed(*cursor, L"shortcut"); move = cursor->NextSibling())
    if (!ReadShortcut(*cursor, log)) return false;
  // Anything left is out of order or unknown.
  return move == Move::kNone;
}

}  // namespace

bool LoadInstallLog(const FilePath& file, InstallLog* log) {
  log->files.clear();
  log->root_files.clear();
  log->hklm_keys.clear();
  log->hkcu_keys.clear();
  XmlCursor cursor;
  if (!cursor.Create() || !cursor.Load(file) || !ReadHeader(&cursor, log)) return false;
  // An empty `files` is what the writer emits for an installation without
  // files, so it reads back.
  return cursor.NextSibling() == Move::kFound && IsNamed(cursor, L"files") &&
         ReadFileList(&cursor, true, &log->files) && ReadTail(&cursor, log);
}

}  // namespace norva::installer
