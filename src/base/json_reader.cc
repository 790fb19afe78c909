// The JSON reader behind ParseJson: a recursive descent over RFC 8259 text
// that builds the document directly. It accepts what the JSON library's own
// parser accepts (a leading UTF-8 byte-order mark, a null byte as the end,
// numbers typed as that parser types them, the last of duplicate keys) and refuses the same, with
// one more limit, the nesting depth. Kept apart from that parser because its
// errors are built as exception objects with the C++ library's old-ABI
// strings, which the installer would otherwise link for nothing. Portable,
// so that it builds and fuzzes natively against that parser.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "base/json.h"
#include "base/utf8.h"

#ifdef _WIN32
// The C runtime's own conversion, not the C library replacement that the
// toolchain links in its place: that one brings its own big-number code.
extern "C" double (*__imp_strtod)(const char*, char**);
#endif

namespace norva::installer {
namespace {

using Json = nlohmann::json;

double ParseDouble(const std::string& text) {
#ifdef _WIN32
  return __imp_strtod(text.c_str(), nullptr);
#else
  return std::strtod(text.c_str(), nullptr);
#endif
}

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool ReadDocument(Json* value) {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") at_ = 3;
    SkipSpace();
    if (!ReadValue(value, 0)) return false;
    SkipSpace();
    // A null byte ends the text, as for the library's parser: a file cut
    // short by a crash may have a tail of zeros after its last write.
    return at_ == text_.size() || text_[at_] == '\0';
  }

 private:
  bool ReadValue(Json* value, int depth) {
    if (at_ >= text_.size()) return false;
    switch (text_[at_]) {
      case '{':
        return depth < kMaxJsonDepth && ReadObject(value, depth + 1);
      case '[':
        return depth < kMaxJsonDepth && ReadArray(value, depth + 1);
      case '"': {
        std::string text;
        if (!ReadString(&text)) return false;
        *value = std::move(text);
        return true;
      }
      case 't':
        *value = true;
        return ReadWord("true");
      case 'f':
        *value = false;
        return ReadWord("false");
      case 'n':
        *value = nullptr;
        return ReadWord("null");
      default:
        return ReadNumber(value);
    }
  }

  bool ReadObject(Json* value, int depth) {
    *value = Json::object();
    ++at_;
    SkipSpace();
    if (Take('}')) return true;
    for (;;) {
      std::string key;
      SkipSpace();
      if (at_ >= text_.size() || text_[at_] != '"' || !ReadString(&key)) return false;
      SkipSpace();
      if (!Take(':')) return false;
      SkipSpace();
      Json member;
      if (!ReadValue(&member, depth)) return false;
      (*value)[key] = std::move(member);
      SkipSpace();
      if (Take('}')) return true;
      if (!Take(',')) return false;
    }
  }

  bool ReadArray(Json* value, int depth) {
    *value = Json::array();
    ++at_;
    SkipSpace();
    if (Take(']')) return true;
    for (;;) {
      SkipSpace();
      Json element;
      if (!ReadValue(&element, depth)) return false;
      value->push_back(std::move(element));
      SkipSpace();
      if (Take(']')) return true;
      if (!Take(',')) return false;
    }
  }

  // Escapes decoded; the text must be well-formed UTF-8 without controls.
  bool ReadString(std::string* out) {
    ++at_;
    while (at_ < text_.size()) {
      unsigned char c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        if (!ReadEscape(out)) return false;
      } else if (c < 0x80) {
        out->push_back(static_cast<char>(c));
        ++at_;
      } else if (!CopyUtf8Sequence(out)) {
        return false;
      }
    }
    return false;
  }

  bool ReadEscape(std::string* out) {
    if (++at_ >= text_.size()) return false;
    char c = text_[at_++];
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out->push_back(c);
        return true;
      case 'b':
        out->push_back('\b');
        return true;
      case 'f':
        out->push_back('\f');
        return true;
      case 'n':
        out->push_back('\n');
        return true;
      case 'r':
        out->push_back('\r');
        return true;
      case 't':
        out->push_back('\t');
        return true;
      case 'u':
        return ReadCodePointEscape(out);
      default:
        return false;
    }
  }

  // "\uXXXX", a surrogate pair as two of them.
  bool ReadCodePointEscape(std::string* out) {
    uint32_t code = 0;
    if (!ReadHex4(&code) || (code >= 0xDC00 && code <= 0xDFFF)) return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
      uint32_t low = 0;
      if (text_.substr(at_, 2) != "\\u") return false;
      at_ += 2;
      if (!ReadHex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    AppendUtf8(code, out);
    return true;
  }

  bool ReadHex4(uint32_t* code) {
    if (text_.size() - at_ < 4) return false;
    for (int i = 0; i < 4; ++i) {
      char c = text_[at_++];
      uint32_t digit;
      if (c >= '0' && c <= '9')
        digit = c - '0';
      else if (c >= 'a' && c <= 'f')
        digit = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        digit = c - 'A' + 10;
      else
        return false;
      *code = *code * 16 + digit;
    }
    return true;
  }

  // One multi-byte sequence as RFC 3629 allows it: no overlong forms, no
  // surrogates, nothing above U+10FFFF.
  bool CopyUtf8Sequence(std::string* out) {
    unsigned char lead = static_cast<unsigned char>(text_[at_]);
    int trail;
    unsigned char low = 0x80, high = 0xBF;  // the first trailing byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text_.size() - at_ <= static_cast<size_t>(trail)) return false;
    for (int i = 1; i <= trail; ++i) {
      unsigned char c = static_cast<unsigned char>(text_[at_ + i]);
      if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return false;
    }
    out->append(text_.substr(at_, trail + 1));
    at_ += trail + 1;
    return true;
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)? : an integer without
  // fraction and exponent is unsigned unless negative, and becomes a float
  // when it does not fit 64 bits.
  bool ReadNumber(Json* value) {
    const size_t start = at_;
    const bool negative = Take('-');
    if (at_ >= text_.size() || !IsDigit(text_[at_])) return false;
    if (text_[at_] == '0')
      ++at_;
    else
      SkipDigits();
    bool integer = true;
    if (Take('.')) {
      integer = false;
      if (!SkipDigits()) return false;
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      integer = false;
      ++at_;
      if (!Take('+')) Take('-');
      if (!SkipDigits()) return false;
    }
    std::string_view token = text_.substr(start, at_ - start);
    if (integer && ReadInteger(token, negative, value)) return true;
    double number = ParseDouble(std::string(token));
    if (!std::isfinite(number)) return false;  // out of range
    *value = number;
    return true;
  }

  static bool ReadInteger(std::string_view token, bool negative, Json* value) {
    uint64_t magnitude = 0;
    for (char c : token.substr(negative ? 1 : 0)) {
      uint64_t digit = static_cast<uint64_t>(c - '0');
      if (magnitude > (UINT64_MAX - digit) / 10) return false;
      magnitude = magnitude * 10 + digit;
    }
    if (!negative) {
      *value = magnitude;
      return true;
    }
    if (magnitude > static_cast<uint64_t>(INT64_MAX) + 1) return false;
    *value = magnitude == static_cast<uint64_t>(INT64_MAX) + 1 ? INT64_MIN
                                                               : -static_cast<int64_t>(magnitude);
    return true;
  }

  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

  bool SkipDigits() {
    size_t start = at_;
    while (at_ < text_.size() && IsDigit(text_[at_])) ++at_;
    return at_ > start;
  }

  bool ReadWord(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  bool Take(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }

  void SkipSpace() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }

  const std::string_view text_;
  size_t at_ = 0;
};

}  // namespace

bool ParseJson(std::string_view text, nlohmann::json* value) {
  Json parsed;
  if (!Reader(text).ReadDocument(&parsed)) {
    *value = Json();
    return false;
  }
  *value = std::move(parsed);
  return true;
}

}  // namespace norva::installer
