#include "product/string_tables.h"

#include <cstdlib>
#include <cstring>

#include "base/logging.h"
#include "base/module_resource.h"
#include "lzma/LzmaDec.h"
#include "base/crc32.h"

namespace norva::installer::l10n {
namespace {

constexpr size_t kHeaderSize = 8 + LZMA_PROPS_SIZE;
// Forty languages take about 200 KB; a larger size is a damaged header.
constexpr uint32_t kMaxUnpackedSize = 4 << 20;

void* Allocate(void*, size_t size) { return std::malloc(size); }
void Free(void*, void* address) { std::free(address); }

uint32_t ReadUint32(const char* bytes) {
  uint32_t value;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

}  // namespace

bool StringTables::Unpack(std::string_view packed) {
  *this = StringTables();
  if (packed.size() < kHeaderSize) return false;
  uint32_t size = ReadUint32(packed.data());
  uint32_t crc = ReadUint32(packed.data() + 4);
  if (size % 2 || size > kMaxUnpackedSize) return false;
  std::wstring units(size / 2, L'\0');
  SizeT written = size;
  SizeT read = packed.size() - kHeaderSize;
  ELzmaStatus status;
  ISzAlloc alloc = {Allocate, Free};
  SRes result = LzmaDecode(reinterpret_cast<Byte*>(units.data()), &written,
                           reinterpret_cast<const Byte*>(packed.data() + kHeaderSize), &read,
                           reinterpret_cast<const Byte*>(packed.data() + 8), LZMA_PROPS_SIZE,
                           LZMA_FINISH_END, &status, &alloc);
  if (result != SZ_OK || written != size ||
      (status != LZMA_STATUS_FINISHED_WITH_MARK &&
       status != LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK) ||
      Crc32(units.data(), size) != crc) {
    return false;
  }
  return Parse(std::move(units));
}

bool StringTables::Parse(std::wstring units) {
  *this = StringTables();
  if (units.empty()) return false;
  size_t count = static_cast<uint16_t>(units[0]);
  size_t offset = 1 + 3 * count;
  if (offset > units.size()) return false;
  std::vector<Entry> entries;
  for (size_t i = 0; i < count; ++i) {
    const wchar_t* row = units.data() + 1 + 3 * i;
    size_t length = static_cast<uint16_t>(row[2]);
    // Every table holds sixteen lengths at least; none reaches past the end.
    if (length < 16 || length > units.size() - offset) return false;
    entries.push_back({static_cast<LANGID>(row[0]), static_cast<uint16_t>(row[1]), offset, length});
    offset += length;
  }
  if (offset != units.size()) return false;
  units_ = std::move(units);
  entries_ = std::move(entries);
  return true;
}

std::wstring_view StringTables::Table(LANGID language, int block) const {
  for (const Entry& entry : entries_) {
    if (entry.language == language && entry.block == block)
      return std::wstring_view(units_).substr(entry.offset, entry.length);
  }
  return {};
}

std::vector<LANGID> StringTables::Languages(int block) const {
  std::vector<LANGID> languages;
  for (const Entry& entry : entries_)
    if (entry.block == block) languages.push_back(entry.language);
  return languages;
}

const StringTables& CarriedStringTables() {
  static const StringTables tables = [] {
    StringTables unpacked;
    if (!unpacked.Unpack(ModuleResource(kStringTablesResourceId, L"LZMA")))
      LOG(ERROR) << "Failed to unpack the string tables";
    return unpacked;
  }();
  return tables;
}

}  // namespace norva::installer::l10n
