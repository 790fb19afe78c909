#ifndef NORVA_PRODUCT_STRING_TABLES_H_
#define NORVA_PRODUCT_STRING_TABLES_H_

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

// The installer's string tables: per carried language, one table per block
// of sixteen string ids, each as the resource compiler writes it (per string
// a 16-bit length and that many UTF-16 code units). Forty languages of them
// would be a sixth of the executable, so they travel LZMA-compressed in one
// resource ("LZMA" 143, written by host/pack_string_tables.py) and are
// decoded once, on the first string looked up.
namespace norva::installer::l10n {

inline constexpr int kStringTablesResourceId = 143;

class StringTables {
 public:
  // Decodes the resource's bytes: the unpacked size and its CRC-32 (32 bits
  // each, little-endian), the five LZMA properties bytes and the LZMA stream.
  // False, and no tables, when anything about them is damaged.
  bool Unpack(std::string_view packed);
  // Reads the unpacked tables, 16-bit units: their number, then per table
  // its language, block and length, then the tables in that order. False,
  // and no tables, when the lengths do not add up.
  bool Parse(std::wstring units);

  // The table of `block` in `language`; empty when there is none.
  std::wstring_view Table(LANGID language, int block) const;
  // The languages that have a table of `block`, in packing order.
  std::vector<LANGID> Languages(int block) const;

 private:
  struct Entry {
    LANGID language;
    int block;
    size_t offset;  // In units_.
    size_t length;
  };

  std::wstring units_;
  std::vector<Entry> entries_;
};

// The tables of the main executable, unpacked on the first call; empty (and
// an error logged) when the resource is missing or damaged.
const StringTables& CarriedStringTables();

}  // namespace norva::installer::l10n

#endif  // NORVA_PRODUCT_STRING_TABLES_H_
