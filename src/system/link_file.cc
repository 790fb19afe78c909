#include "system/link_file.h"

#include <cstdint>
#include <cstring>

namespace norva::installer {
namespace {

constexpr uint32_t kHeaderSize = 0x4C;
constexpr uint32_t kHasTargetIdList = 0x1;
constexpr uint32_t kHasLinkInfo = 0x2;
constexpr uint32_t kIsUnicode = 0x80;
// Name, relative path, working folder, arguments and icon location, in the
// order their strings follow the link info.
constexpr uint32_t kStringFlags[] = {0x4, 0x8, 0x10, 0x20, 0x40};
constexpr uint32_t kPropertyStoreSignature = 0xA0000009;
constexpr uint32_t kStorageVersion = 0x53505331;  // "1SPS"
constexpr uint32_t kAppUserModelIdPid = 5;
constexpr uint16_t kTypeWideString = 0x1F;  // VT_LPWSTR
// {9F4C2855-9F79-4B39-A8D0-E1D42DE1D5F3} as stored (little-endian fields).
constexpr unsigned char kAppUserModelFormat[16] = {0x55, 0x28, 0x4c, 0x9f, 0x79, 0x9f, 0x39, 0x4b,
                                                   0xa8, 0xd0, 0xe1, 0xd4, 0x2d, 0xe1, 0xd5, 0xf3};

bool Read32(std::string_view bytes, size_t at, uint32_t* value) {
  if (at > bytes.size() || bytes.size() - at < 4) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  *value = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
  return true;
}

bool Read16(std::string_view bytes, size_t at, uint16_t* value) {
  if (at > bytes.size() || bytes.size() - at < 2) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  *value = static_cast<uint16_t>(p[0] | p[1] << 8);
  return true;
}

void Append32(std::string* out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<char>(value >> shift));
}

// Offset of the extra data section; false when the link is malformed.
bool FindExtraData(std::string_view link, size_t* offset) {
  uint32_t header_size = 0, flags = 0;
  if (!Read32(link, 0, &header_size) || header_size != kHeaderSize || !Read32(link, 0x14, &flags))
    return false;
  size_t at = kHeaderSize;
  if (flags & kHasTargetIdList) {
    uint16_t size = 0;
    if (!Read16(link, at, &size)) return false;
    at += 2 + size;
  }
  if (flags & kHasLinkInfo) {
    uint32_t size = 0;
    if (!Read32(link, at, &size)) return false;
    at += size;
  }
  for (uint32_t flag : kStringFlags) {
    if (!(flags & flag)) continue;
    uint16_t count = 0;
    if (!Read16(link, at, &count)) return false;
    at += 2 + static_cast<size_t>(count) * ((flags & kIsUnicode) ? 2 : 1);
  }
  if (at > link.size()) return false;
  *offset = at;
  return true;
}

// The ID among the property storages in [at, end).
bool FindInStorages(std::string_view link, size_t at, size_t end, std::wstring* id) {
  uint32_t storage_size = 0, version = 0;
  while (at < end && Read32(link, at, &storage_size) && storage_size >= 24 &&
         storage_size <= end - at) {
    size_t storage_end = at + storage_size;
    if (Read32(link, at + 4, &version) && version == kStorageVersion &&
        std::memcmp(link.data() + at + 8, kAppUserModelFormat, 16) == 0) {
      uint32_t value_size = 0, pid = 0, length = 0;
      uint16_t type = 0;
      for (size_t value = at + 24; Read32(link, value, &value_size) && value_size >= 9 &&
                                   value_size <= storage_end - value;
           value += value_size) {
        if (!Read32(link, value + 4, &pid) || pid != kAppUserModelIdPid) continue;
        if (!Read16(link, value + 9, &type) || type != kTypeWideString ||
            !Read32(link, value + 13, &length) || length == 0 ||
            17 + static_cast<size_t>(length) * 2 > value_size) {
          return false;
        }
        id->resize(length - 1);
        for (uint32_t i = 0; i + 1 < length; ++i) {
          uint16_t unit = 0;
          Read16(link, value + 17 + i * 2, &unit);
          (*id)[i] = static_cast<wchar_t>(unit);
        }
        return true;
      }
    }
    at = storage_end;
  }
  return false;
}

}  // namespace

bool FindLinkAppUserModelId(std::string_view link, std::wstring* id) {
  size_t at = 0;
  if (!FindExtraData(link, &at)) return false;
  uint32_t size = 0, signature = 0;
  while (Read32(link, at, &size) && size >= 8 && size <= link.size() - at) {
    if (Read32(link, at + 4, &signature) && signature == kPropertyStoreSignature &&
        FindInStorages(link, at + 8, at + size, id)) {
      return true;
    }
    at += size;
  }
  return false;
}

bool AddLinkAppUserModelId(std::string* link, const std::wstring& id) {
  size_t at = 0;
  if (!FindExtraData(*link, &at)) return false;
  uint32_t size = 0;
  while (Read32(*link, at, &size) && size >= 8 && size <= link->size() - at) at += size;

  std::string value;
  uint32_t length = static_cast<uint32_t>(id.size() + 1);
  size_t padding = (4 - (length * 2) % 4) % 4;
  Append32(&value, static_cast<uint32_t>(17 + length * 2 + padding));
  Append32(&value, kAppUserModelIdPid);
  value.push_back('\0');
  Append32(&value, kTypeWideString);  // type and its two padding bytes
  Append32(&value, length);
  for (wchar_t unit : id) {
    value.push_back(static_cast<char>(unit & 0xFF));
    value.push_back(static_cast<char>((unit >> 8) & 0xFF));
  }
  value.append(2 + padding, '\0');

  std::string block;
  uint32_t storage_size = static_cast<uint32_t>(24 + value.size() + 4);
  Append32(&block, 8 + storage_size + 4);
  Append32(&block, kPropertyStoreSignature);
  Append32(&block, storage_size);
  Append32(&block, kStorageVersion);
  block.append(reinterpret_cast<const char*>(kAppUserModelFormat), 16);
  block += value;
  Append32(&block, 0);  // end of the storage's values
  Append32(&block, 0);  // end of the storages
  // Whatever stood at `at` (the terminal block, or nothing) stays behind it.
  if (at + 4 > link->size()) {
    link->resize(at);
    Append32(&block, 0);
  }
  link->insert(at, block);
  return true;
}

}  // namespace norva::installer
