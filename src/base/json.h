#ifndef NORVA_BASE_JSON_H_
#define NORVA_BASE_JSON_H_

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/file_path.h"

// JSON reading and writing that never throws: bad input is a false result,
// invalid UTF-8 in strings is written as U+FFFD.

namespace norva::installer {

// Documents nested deeper than this are refused: they could only come from a
// damaged or hostile file, and would exhaust the stack when copied or written.
inline constexpr int kMaxJsonDepth = 200;

// Strict RFC 8259 text, a leading UTF-8 byte-order mark allowed; on failure
// `value` is null.
bool ParseJson(std::string_view text, nlohmann::json* value);
std::string WriteJson(const nlohmann::json& value, bool pretty = false);

// Reads and parses a whole file (at most 64 MiB).
bool ReadJsonFile(const FilePath& path, nlohmann::json* value);

}  // namespace norva::installer

#endif  // NORVA_BASE_JSON_H_
