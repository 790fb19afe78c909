#ifndef NORVA_BASE_FILE_PATH_H_
#define NORVA_BASE_FILE_PATH_H_

#include <compare>
#include <concepts>
#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace norva::installer {

class FilePath;

// A type of path other than FilePath that keeps its text as a std::wstring
// (std::filesystem::path in the tests).
template <typename Path>
concept ForeignPath = !std::same_as<std::remove_cvref_t<Path>, FilePath> && requires(const Path& p) {
  { p.native() } -> std::convertible_to<const std::wstring&>;
};

// A Windows path held as UTF-16 text, with both "\" and "/" as separators.
// Every operation gives what std::filesystem::path gives for the same text on
// Windows; only the operations the installer needs are here. The installer
// does not use std::filesystem::path because linking it pulls the whole
// locale machinery of the C++ library into the executable (about 0.5 MB).
//
// A path is made of a root name (a drive, "C:"), a root directory (the first
// separator, after the drive if any) and the file names below, plus an empty
// last name when the text ends with a separator. As in std::filesystem::path
// of this C++ library, "\\server\share" has no root name: it is a root
// directory, then "server" and "share".
class FilePath {
 public:
  static constexpr wchar_t kSeparator = L'\\';

  class const_iterator;
  using iterator = const_iterator;

  FilePath() = default;
  FilePath(std::wstring text) : text_(std::move(text)) {}
  FilePath(std::wstring_view text) : text_(text) {}
  FilePath(const wchar_t* text) : text_(text) {}
  template <ForeignPath Path>
  FilePath(const Path& path) : text_(path.native()) {}

  // Converts to a foreign path type, so tests can hand results to
  // std::filesystem functions.
  template <ForeignPath Path>
    requires std::constructible_from<Path, const std::wstring&>
  operator Path() const {
    return Path(text_);
  }

  const std::wstring& native() const { return text_; }
  const wchar_t* c_str() const { return text_.c_str(); }
  std::wstring wstring() const { return text_; }
  bool empty() const { return text_.empty(); }
  void clear() { text_.clear(); }

  FilePath relative_path() const;
  FilePath parent_path() const;
  FilePath filename() const;
  FilePath stem() const;
  FilePath extension() const;

  bool has_root_name() const;
  bool has_root_directory() const;
  bool has_relative_path() const;
  bool has_parent_path() const { return !parent_path().empty(); }
  bool has_filename() const { return !filename().empty(); }
  // A root name and a root directory: "C:\x".
  bool is_absolute() const { return has_root_name() && has_root_directory(); }

  // Joins with a separator where needed. A right side with a root name of
  // another drive, or an absolute one, replaces the whole path; one with a
  // root directory keeps only the root name of the left side.
  FilePath& operator/=(const FilePath& other);
  friend FilePath operator/(FilePath left, const FilePath& right) { return left /= right; }
  // Mixed with a foreign path type the result is a FilePath (see operator==).
  template <ForeignPath Path>
  friend FilePath operator/(FilePath left, const Path& right) {
    return left /= FilePath(right);
  }
  template <ForeignPath Path>
  friend FilePath operator/(const Path& left, const FilePath& right) {
    return FilePath(left) /= right;
  }
  // Appends text as it is, without a separator.
  FilePath& operator+=(std::wstring_view text) {
    text_ += text;
    return *this;
  }
  FilePath& operator+=(const std::wstring& text) { return *this += std::wstring_view(text); }
  FilePath& operator+=(const wchar_t* text) { return *this += std::wstring_view(text); }
  FilePath& operator+=(wchar_t c) {
    text_ += c;
    return *this;
  }
  FilePath& operator+=(const FilePath& other) { return *this += std::wstring_view(other.text_); }

  // An empty `extension` removes the extension; a missing dot is added.
  FilePath& replace_extension(const FilePath& extension = {});

  // Removes "." and "name\.." and repeated separators; every separator
  // becomes "\". An empty result is ".".
  FilePath lexically_normal() const;

  // Compares element by element (so "C:/a" equals "C:\a", not "C:\a\"),
  // each element as text, case sensitively.
  int compare(const FilePath& other) const;
  friend bool operator==(const FilePath& a, const FilePath& b) { return a.compare(b) == 0; }
  friend std::strong_ordering operator<=>(const FilePath& a, const FilePath& b) {
    return a.compare(b) <=> 0;
  }
  // An exact match for mixing with a foreign path type, which converts both
  // ways and would otherwise make the comparison ambiguous.
  template <ForeignPath Path>
  friend bool operator==(const FilePath& a, const Path& b) {
    return a == FilePath(b);
  }

  const_iterator begin() const;
  const_iterator end() const;

 private:
  // Where the root name ends, whether a root directory follows it, and
  // where the first file name begins (after any further separators).
  struct Layout {
    size_t root_name_size = 0;
    bool root_directory = false;
    size_t relative_start = 0;
  };
  Layout Parse() const;
  // A path of separators only ("\", "//") is one element, the whole text.
  bool IsLoneRootDirectory(const Layout& layout) const;
  // Where the last element begins: the last file name, or the empty name
  // after a final separator (then the text's size). npos without a relative
  // part.
  size_t LastElementStart() const;

  std::wstring text_;
};

// Visits the root name, the root directory and every file name in turn, and
// an empty name last when the path ends with a separator.
class FilePath::const_iterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = FilePath;
  using difference_type = std::ptrdiff_t;
  using pointer = const FilePath*;
  using reference = const FilePath&;

  const_iterator() = default;
  reference operator*() const { return element_; }
  pointer operator->() const { return &element_; }
  const_iterator& operator++();
  const_iterator operator++(int) {
    const_iterator old = *this;
    ++*this;
    return old;
  }
  friend bool operator==(const const_iterator& a, const const_iterator& b) {
    return a.path_ == b.path_ && a.start_ == b.start_;
  }

 private:
  friend class FilePath;
  enum class Kind { kRootName, kRootDirectory, kName, kEnd };
  const_iterator(const FilePath* path, Kind kind, size_t start);
  void Set(Kind kind, size_t start);
  // The first file name at or after `from`, or the end.
  void SetName(size_t from);

  const FilePath* path_ = nullptr;
  Kind kind_ = Kind::kEnd;
  size_t start_ = std::wstring::npos;
  size_t size_ = 0;
  FilePath element_;
};

}  // namespace norva::installer

#endif  // NORVA_BASE_FILE_PATH_H_
