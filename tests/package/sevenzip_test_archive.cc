#include "package/sevenzip_test_archive.h"

#include <algorithm>
#include <cstdlib>

#include "base/crc32.h"

namespace norva::installer::test {
namespace {

void Number(std::string& out, uint64_t value) {
  // Always the 9-byte form: simple and valid.
  out += static_cast<char>(0xFF);
  for (int i = 0; i < 8; ++i) out += static_cast<char>(value >> (8 * i));
}

void Le(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
}

std::string Bits(const std::vector<bool>& bits) {
  std::string bytes((bits.size() + 7) / 8, '\0');
  for (size_t i = 0; i < bits.size(); ++i)
    if (bits[i]) bytes[i / 8] = static_cast<char>(bytes[i / 8] | (0x80 >> (i % 8)));
  return bytes;
}

void Property(std::string& out, uint8_t id, const std::string& body) {
  out += static_cast<char>(id);
  Number(out, body.size());
  out += body;
}

}  // namespace

std::string MakeSevenZip(const std::vector<SevenZipTestEntry>& entries,
                         const SevenZipTestOptions& options) {
  std::string packed, header;
  std::vector<const SevenZipTestEntry*> streams;
  std::vector<bool> empty, empty_file, anti;
  for (const auto& entry : entries) {
    bool has_stream = !entry.is_dir && !entry.anti && !entry.data.empty();
    empty.push_back(!has_stream);
    if (has_stream) {
      streams.push_back(&entry);
      packed += entry.data;
    } else {
      empty_file.push_back(!entry.is_dir);
      anti.push_back(entry.anti);
    }
  }
  header += '\x01';
  if (!streams.empty()) {
    header += "\x04\x06";
    Number(header, 0);
    Number(header, 1);
    header += '\x09';
    Number(header, options.pack_size ? options.pack_size : packed.size());
    header += std::string("\x00\x07\x0B", 3);
    Number(header, 1);
    header += '\x00';
    Number(header, 1);  // one coder
    header += static_cast<char>(options.method_id.size() | (options.props.empty() ? 0 : 0x20));
    header.append(options.method_id.begin(), options.method_id.end());
    if (!options.props.empty()) {
      Number(header, options.props.size());
      header.append(options.props.begin(), options.props.end());
    }
    header += '\x0C';
    Number(header, options.unpack_size ? options.unpack_size : packed.size());
    header += std::string("\x00\x08\x0D", 3);
    Number(header, streams.size());
    header += '\x09';
    for (size_t i = 0; i + 1 < streams.size(); ++i) Number(header, streams[i]->data.size());
    header += "\x0A\x01";
    for (const auto* entry : streams) Le(header, Crc32(entry->data.data(), entry->data.size()), 4);
    header.append(2, '\0');
  }
  header += '\x05';
  Number(header, entries.size());
  if (streams.size() != entries.size()) {
    Property(header, 0x0E, Bits(empty));
    Property(header, 0x0F, Bits(empty_file));
    Property(header, 0x10, Bits(anti));
  }
  if (options.names) {
    std::string names(1, '\0');
    for (const auto& entry : entries) {
      for (char16_t c : entry.name) Le(names, c, 2);
      Le(names, 0, 2);
    }
    Property(header, 0x11, names);
  }
  std::vector<bool> has_mtime;
  std::string times;
  for (const auto& entry : entries) {
    has_mtime.push_back(entry.has_mtime);
    if (entry.has_mtime) Le(times, entry.mtime, 8);
  }
  Property(header, 0x14, '\0' + Bits(has_mtime) + '\0' + times);
  header.append(2, '\0');
  return SevenZipWithHeader(packed, header);
}

std::string SevenZipWithHeader(const std::string& packed, const std::string& header) {
  std::string start;
  Le(start, packed.size(), 8);
  Le(start, header.size(), 8);
  Le(start, Crc32(header.data(), header.size()), 4);
  std::string archive("7z\xBC\xAF\x27\x1C\x00\x04", 8);
  Le(archive, Crc32(start.data(), start.size()), 4);
  return archive + start + packed + header;
}

std::filesystem::path SevenZipFixtures() {
  const char* unix_path = std::getenv("NORVA_SEVENZIP_FIXTURES");
  if (!unix_path) return {};
  // A Unix path under Wine; a Windows one in the Windows test bundle.
  std::string path = unix_path[0] == '/' ? std::string("Z:") + unix_path : unix_path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

}  // namespace norva::installer::test
