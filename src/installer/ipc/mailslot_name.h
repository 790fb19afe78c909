#ifndef NORVA_INSTALLER_IPC_MAILSLOT_NAME_H_
#define NORVA_INSTALLER_IPC_MAILSLOT_NAME_H_

#include <windows.h>

#include <cstdint>
#include <string>

// Where the two ends of a channel meet. A channel is named after what it
// serves ("norva_installer\" and the installation folder); the mailslot is
// named after a hash of that name, so that a folder of any length gives a
// name the system takes.

namespace norva::installer {

// "\\.\mailslot\norva_installer\" and 16 hexadecimal digits: FNV-1a over the
// UTF-16 units of `name` in upper case, since the system compares mailslot
// names ignoring case and two spellings of one folder must meet.
inline std::wstring MailslotPath(const std::wstring& name) {
  std::wstring folded = name;
  if (!folded.empty())
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.data(),
                  static_cast<int>(name.size()), folded.data(), static_cast<int>(folded.size()),
                  nullptr, nullptr, 0);
  uint64_t hash = 0xcbf29ce484222325ull;
  for (wchar_t c : folded) {
    for (int shift : {0, 8}) {
      hash ^= (static_cast<uint64_t>(c) >> shift) & 0xff;
      hash *= 0x100000001b3ull;
    }
  }
  std::wstring path = L"\\\\.\\mailslot\\norva_installer\\";
  for (int shift = 60; shift >= 0; shift -= 4) path += L"0123456789abcdef"[(hash >> shift) & 0xf];
  return path;
}

// The mailslot of installers of earlier versions: `name` itself behind
// "\\.\mailslot\". Empty when the system would not take it (MAX_PATH).
inline std::wstring LegacyMailslotPath(const std::wstring& name) {
  std::wstring path = L"\\\\.\\mailslot\\" + name;
  return path.size() < MAX_PATH ? path : std::wstring();
}

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_IPC_MAILSLOT_NAME_H_
