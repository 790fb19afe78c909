#include "system/transactions/journal_scope.h"

#include <cwctype>

#include "base/file_util.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "system/access_rights.h"
#include "system/shortcut_steps.h"
#include "system/transactions/file_helpers.h"
#include "system/transactions/journal.h"

namespace norva::installer {
namespace {

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

// The components of a key, upper case; empty for a name that no key of ours
// has (an empty, "." or ".." component).
std::vector<std::wstring> KeyParts(const std::wstring& key) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  while (start <= key.size()) {
    size_t end = key.find(L'\\', start);
    if (end == std::wstring::npos) end = key.size();
    std::wstring part = Upper(key.substr(start, end - start));
    if (part.empty() || part == L"." || part == L"..") return {};
    parts.push_back(std::move(part));
    start = end + 1;
  }
  return parts;
}

// "*" matches anything, "X*" what begins with X, anything else itself.
bool NameMatches(const std::wstring& pattern, const std::wstring& name) {
  if (!pattern.empty() && pattern.back() == L'*')
    return name.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
  return pattern == name;
}

// Whether the first `count` components of `key` match those of `pattern`.
bool LeadingPartsMatch(const std::vector<std::wstring>& pattern,
                       const std::vector<std::wstring>& key, size_t count) {
  if (count > pattern.size() || count > key.size()) return false;
  for (size_t i = 0; i < count; ++i)
    if (!NameMatches(pattern[i], key[i])) return false;
  return true;
}

// Whether `parts` name the very key of `shared`.
bool IsKeyOf(const JournalScope::SharedValue& shared, const std::vector<std::wstring>& parts) {
  const std::vector<std::wstring> pattern = KeyParts(shared.key);
  return !pattern.empty() && parts.size() == pattern.size() &&
         LeadingPartsMatch(pattern, parts, parts.size());
}

}  // namespace

JournalScope JournalScope::ForInstallFolder(const FilePath& install_folder, bool machine) {
  JournalScope scope;
  scope.install_folder = install_folder;
  scope.machine = machine;
  for (bool all_users : {false, true}) {
    if (all_users && !machine) continue;
    for (const FilePath& folder : GetShortcutFolders(all_users).folder)
      if (!folder.empty()) scope.shortcut_folders.push_back(folder);
  }
  const std::wstring product = Utf8ToWide(product::ProductName());
  const std::wstring executable = Utf8ToWide(product::FileNameBase()) + L".exe";
  scope.shortcut_names = {Utf8ToWide(product::VisibleProductName()),
                          Utf8ToWide(product::CompanyName())};
  scope.own_keys = {
      L"Software\\" + Utf8ToWide(product::CompanyName()),
      L"Software\\Classes\\" + product + L"*",
      L"Software\\Classes\\.oex",
      L"Software\\Classes\\Applications\\" + executable,
      L"Software\\Clients\\StartMenuInternet\\" + product + L"*",
      L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + executable,
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + product + L" *",
  };
  scope.shared_values = {
      {L"Software\\Classes\\*\\OpenWithProgIDs", product + L"*"},
      {L"Software\\RegisteredApplications", product + L"*"},
      {L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility "
       L"Assistant\\Persisted",
       FoldedPath(install_folder.native()) + L"\\Launcher.exe"},
  };
  return scope;
}

const char* JournalScope::Refusal(const JournalRecord& record) const {
  using Kind = JournalRecord::Kind;
  constexpr const char* kFolders = "outside the product's folders";
  constexpr const char* kKeys = "outside the product's keys";
  const std::vector<std::wstring>& texts = record.texts;
  switch (record.kind) {
    case Kind::kCreatedFolder:
    case Kind::kCreatedFile:
    case Kind::kDroppedFolder:
      return AllowsPath(FilePath(texts[0])) ? nullptr : kFolders;
    case Kind::kMovedFile:
    case Kind::kSetAside:
      return AllowsPath(FilePath(texts[0])) && AllowsPath(FilePath(texts[1])) ? nullptr : kFolders;
    case Kind::kMovedFromPackage:
      return AllowsPath(FilePath(texts[1])) ? nullptr : kFolders;
    case Kind::kWidenedAccess: {
      if (record.numbers[0] == kFileObjectType)
        return AllowsPath(FilePath(texts[0])) ? nullptr : kFolders;
      HKEY root = nullptr;
      std::wstring key;
      return record.numbers[0] == kRegistryObjectType &&
                     SplitRegistryObjectName(texts[0], &root, &key) &&
                     AllowsRights(JournalRootNumber(root), key)
                 ? nullptr
                 : kKeys;
    }
    case Kind::kCreatedKey:
      return AllowsKey(record.numbers[0], texts[0]) ? nullptr : kKeys;
    case Kind::kChangedValue:
      return AllowsValue(record.numbers[0], texts[0], texts[1]) ? nullptr : kKeys;
    case Kind::kDeletedKey:
      if (!AllowsKey(record.numbers[0], texts[0])) return kKeys;
      for (size_t i = 1; i < texts.size(); ++i)
        if (!AllowsValue(record.numbers[0], texts[0], texts[i])) return kKeys;
      return nullptr;
    case Kind::kHeader:
    case Kind::kCommitted:
      return nullptr;
  }
  return kFolders;
}

bool JournalScope::AllowsPath(const FilePath& path) const {
  if (!IsAbsolutePath(path)) return false;
  for (const FilePath& part : path)
    if (part == L".." || part == L".") return false;
  const std::wstring folded = FoldedPath(path.native());
  const FilePath parent = file_helpers::ParentOf(path);
  if (IsPathWithin(folded, install_folder.native()) && !install_folder.empty()) {
    // A junction or link below the root would take the change elsewhere.
    for (FilePath above = parent; !above.empty() && IsPathWithin(above.native(), install_folder.native());
         above = file_helpers::ParentOf(above)) {
      if (file_helpers::IsLink(above)) return false;
    }
    return true;
  }
  const std::wstring name = Upper(path.filename().native());
  for (const FilePath& folder : shortcut_folders) {
    if (folder.empty() || FoldedPath(parent.native()) != FoldedPath(folder.native())) continue;
    for (const std::wstring& own : shortcut_names)
      if (!own.empty() && name.starts_with(Upper(own))) return true;
  }
  return false;
}

bool JournalScope::AllowsFolderTree(const FilePath& folder) const {
  return !install_folder.empty() && IsPathWithin(folder.native(), install_folder.native()) &&
         AllowsPath(folder);
}

bool JournalScope::OwnsKey(uint32_t root, const std::wstring& key) const {
  if (!JournalRoot(root) || (root != 1 && !machine)) return false;
  const std::vector<std::wstring> parts = KeyParts(key);
  for (const std::wstring& own : own_keys) {
    const std::vector<std::wstring> pattern = KeyParts(own);
    if (!pattern.empty() && LeadingPartsMatch(pattern, parts, pattern.size())) return true;
  }
  return false;
}

bool JournalScope::AllowsValue(uint32_t root, const std::wstring& key,
                               const std::wstring& name) const {
  if (OwnsKey(root, key)) return true;
  if (!JournalRoot(root) || (root != 1 && !machine)) return false;
  const std::vector<std::wstring> parts = KeyParts(key);
  for (const SharedValue& shared : shared_values)
    if (IsKeyOf(shared, parts) && NameMatches(Upper(shared.value), Upper(name))) return true;
  return false;
}

bool JournalScope::AllowsKey(uint32_t root, const std::wstring& key) const {
  if (OwnsKey(root, key)) return true;
  if (!JournalRoot(root) || (root != 1 && !machine)) return false;
  // A fresh profile may lack even "Software\Classes"; never "Software".
  const std::vector<std::wstring> parts = KeyParts(key);
  if (parts.size() < 2) return false;
  for (const std::wstring& own : own_keys)
    if (LeadingPartsMatch(KeyParts(own), parts, parts.size())) return true;
  for (const SharedValue& shared : shared_values)
    if (LeadingPartsMatch(KeyParts(shared.key), parts, parts.size())) return true;
  return false;
}

bool JournalScope::AllowsRights(uint32_t root, const std::wstring& key) const {
  if (OwnsKey(root, key)) return true;
  if (!JournalRoot(root) || (root != 1 && !machine)) return false;
  const std::vector<std::wstring> parts = KeyParts(key);
  for (const SharedValue& shared : shared_values)
    if (IsKeyOf(shared, parts)) return true;
  return false;
}

}  // namespace norva::installer
