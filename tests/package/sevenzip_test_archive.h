#ifndef NORVA_TESTS_PACKAGE_SEVENZIP_TEST_ARCHIVE_H_
#define NORVA_TESTS_PACKAGE_SEVENZIP_TEST_ARCHIVE_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace norva::installer::test {

// Writes small 7z archives by hand, for layouts 7-Zip will not produce:
// hostile names, anti items, a folder listed after its files, odd coders.
// Contents are stored in one folder with one coder (Copy unless told).
struct SevenZipTestEntry {
  std::u16string name;
  std::string data;
  bool is_dir = false;
  bool anti = false;
  bool has_mtime = true;
  uint64_t mtime = 0x01D0000000000000ull;
};

struct SevenZipTestOptions {
  std::vector<uint8_t> method_id = {0x00};
  std::vector<uint8_t> props;
  // When not 0, the folder declares this unpacked size instead of the real one.
  uint64_t unpack_size = 0;
  // When not 0, the packed stream declares this size instead of the real one.
  uint64_t pack_size = 0;
  bool names = true;
};

std::string MakeSevenZip(const std::vector<SevenZipTestEntry>& entries,
                         const SevenZipTestOptions& options = {});
// An archive of the stored bytes `packed` described by `header`, as it is.
std::string SevenZipWithHeader(const std::string& packed, const std::string& header);

// The fixture folder made by sevenzip_make_fixtures.sh, as a Windows path.
std::filesystem::path SevenZipFixtures();

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_PACKAGE_SEVENZIP_TEST_ARCHIVE_H_
