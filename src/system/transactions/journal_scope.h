#ifndef NORVA_SYSTEM_TRANSACTIONS_JOURNAL_SCOPE_H_
#define NORVA_SYSTEM_TRANSACTIONS_JOURNAL_SCOPE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/file_path.h"

namespace norva::installer {

struct JournalRecord;

// What a journal may touch: exactly what an installation writes. A record
// naming anything else is refused, by the recovery that reads it and by the
// journal itself when it would cover it.
//
// Key patterns are relative to the root, one component per level; a
// component "*" matches any one, and one ending in "*" any that begins with
// the rest. Everything is compared as Windows compares names (case-blind).
struct JournalScope {
  struct SharedValue {
    std::wstring key;    // a key other programs use too
    std::wstring value;  // the product's value names in it
  };

  // With everything in it.
  FilePath install_folder;
  // Shortcut folders: only entries directly in them whose names begin with
  // one of `shortcut_names` (the product's shortcuts and its menu folder, or
  // their set-aside copies), never a folder itself.
  std::vector<FilePath> shortcut_folders;
  std::vector<std::wstring> shortcut_names;
  // Keys the product owns, with everything below them.
  std::vector<std::wstring> own_keys;
  // The product's values in keys others own.
  std::vector<SharedValue> shared_values;
  // A machine's journal: HKLM besides HKCU, and a journal that must be the
  // administrators' own. A user's journal touches that user's hive only.
  bool machine = false;
  // The recovering run's own unpacked package: files an interrupted run of
  // the same package moved out of it go back there, and nowhere else.
  FilePath package_folder;

  // The installation folder, the shortcut folders (with `machine`, also
  // those of all users), and the product's keys and values.
  static JournalScope ForInstallFolder(const FilePath& install_folder, bool machine);

  // Why a record names something outside the scope ("outside the
  // product's folders" or "... keys"); nullptr when it does not. The record
  // must have the shape of its kind.
  const char* Refusal(const JournalRecord& record) const;

  // A file, a set-aside copy or a made folder; no link on the way below a
  // root, no ".." anywhere.
  bool AllowsPath(const FilePath& path) const;
  // Whether a folder may go with everything in it: only inside the
  // installation folder. Elsewhere only an emptied folder goes.
  bool AllowsFolderTree(const FilePath& folder) const;
  // A key the product owns (with everything below it).
  bool OwnsKey(uint32_t root, const std::wstring& key) const;
  // A value the product writes: any in its own keys, its named ones in shared keys.
  bool AllowsValue(uint32_t root, const std::wstring& key, const std::wstring& name) const;
  // A key a record may say was made or deleted: an own key, a shared key of
  // the product's values, or a key on the way to either (made when it was
  // missing; removed again only while empty).
  bool AllowsKey(uint32_t root, const std::wstring& key) const;
  // A key whose access list a record may put back: an own key or a shared
  // key of the product's values.
  bool AllowsRights(uint32_t root, const std::wstring& key) const;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_JOURNAL_SCOPE_H_
