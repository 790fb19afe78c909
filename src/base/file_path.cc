#include "base/file_path.h"

#include <algorithm>
#include <vector>

namespace norva::installer {

namespace {

constexpr size_t npos = std::wstring::npos;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Where the extension of a file name begins (its last dot), or npos. ".",
// ".." and names whose only dot is the first character (".hidden") have
// none.
size_t ExtensionStart(std::wstring_view name) {
  if (name.empty() || (name.size() <= 2 && name[0] == L'.')) return npos;
  size_t dot = name.rfind(L'.');
  return dot == 0 ? npos : dot;
}

}  // namespace

FilePath::Layout FilePath::Parse() const {
  Layout layout;
  const size_t size = text_.size();
  size_t pos = 0;
  if (size > 0 && IsSeparator(text_[0])) {
    layout.root_directory = true;
    pos = 1;
  } else if (size >= 2 && text_[1] == L':') {
    layout.root_name_size = 2;
    layout.root_directory = size > 2 && IsSeparator(text_[2]);
    pos = 2;
  }
  while (pos < size && IsSeparator(text_[pos])) ++pos;
  layout.relative_start = pos;
  return layout;
}

size_t FilePath::LastElementStart() const {
  const size_t relative_start = Parse().relative_start;
  if (relative_start >= text_.size()) return npos;
  if (IsSeparator(text_.back())) return text_.size();
  size_t last_separator = text_.find_last_of(L"\\/");
  if (last_separator == npos) return relative_start;
  return std::max(last_separator + 1, relative_start);
}

bool FilePath::IsLoneRootDirectory(const Layout& layout) const {
  return layout.root_name_size == 0 && layout.root_directory &&
         layout.relative_start >= text_.size();
}

FilePath FilePath::relative_path() const { return text_.substr(Parse().relative_start); }

bool FilePath::has_root_name() const { return Parse().root_name_size > 0; }
bool FilePath::has_root_directory() const { return Parse().root_directory; }
bool FilePath::has_relative_path() const { return Parse().relative_start < text_.size(); }

FilePath FilePath::parent_path() const {
  Layout layout = Parse();
  if (layout.relative_start >= text_.size()) return *this;
  // Everything up to the end of the element before the last one.
  size_t end = LastElementStart();
  while (end > layout.relative_start && IsSeparator(text_[end - 1])) --end;
  if (end > layout.relative_start) return text_.substr(0, end);
  return text_.substr(0, layout.root_name_size + (layout.root_directory ? 1 : 0));
}

FilePath FilePath::filename() const {
  size_t start = LastElementStart();
  return start == npos ? FilePath() : FilePath(text_.substr(start));
}

FilePath FilePath::stem() const {
  FilePath name = filename();
  return name.text_.substr(0, ExtensionStart(name.text_));
}

FilePath FilePath::extension() const {
  FilePath name = filename();
  size_t start = ExtensionStart(name.text_);
  return start == npos ? FilePath() : FilePath(name.text_.substr(start));
}

FilePath& FilePath::operator/=(const FilePath& other) {
  Layout left = Parse();
  Layout right = other.Parse();
  std::wstring_view right_root(other.text_.data(), right.root_name_size);
  if (other.is_absolute() ||
      (right.root_name_size > 0 &&
       right_root != std::wstring_view(text_.data(), left.root_name_size))) {
    text_ = other.text_;
    return *this;
  }
  std::wstring tail = other.text_.substr(right.root_name_size);
  if (right.root_directory) {
    text_.resize(left.root_name_size);
  } else if (has_filename()) {
    text_ += kSeparator;
  }
  text_ += tail;
  return *this;
}

FilePath& FilePath::replace_extension(const FilePath& extension) {
  size_t start = LastElementStart();
  if (start != npos) {
    size_t dot = ExtensionStart(std::wstring_view(text_).substr(start));
    if (dot != npos) text_.erase(start + dot);
  }
  if (!extension.empty() && extension.text_[0] != L'.') text_ += L'.';
  text_ += extension.text_;
  return *this;
}

FilePath FilePath::lexically_normal() const {
  if (empty()) return {};
  Layout layout = Parse();
  std::wstring result = text_.substr(0, layout.root_name_size);
  if (IsLoneRootDirectory(layout)) result = text_;
  std::replace(result.begin(), result.end(), L'/', kSeparator);
  if (layout.root_directory && !IsLoneRootDirectory(layout)) result += kSeparator;

  std::vector<std::wstring_view> names;
  // Whether the result ends with a separator after the last name.
  bool trailing = false;
  for (auto part = begin(); part != end(); ++part) {
    if (part.kind_ != const_iterator::Kind::kName) continue;
    std::wstring_view name = std::wstring_view(text_).substr(part.start_, part.size_);
    if (name.empty() || name == L".") {
      trailing = true;
    } else if (name != L"..") {
      names.push_back(name);
      trailing = false;
    } else if (!names.empty() && names.back() != L"..") {
      names.pop_back();
      trailing = true;
    } else if (!layout.root_directory) {
      names.push_back(name);
      trailing = false;
    }
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) result += kSeparator;
    result += names[i];
  }
  if (trailing && !names.empty() && names.back() != L"..") result += kSeparator;
  return result.empty() ? FilePath(L".") : FilePath(std::move(result));
}

int FilePath::compare(const FilePath& other) const {
  if (text_ == other.text_) return 0;
  Layout left = Parse();
  Layout right = other.Parse();
  int order = std::wstring_view(text_.data(), left.root_name_size)
                  .compare(std::wstring_view(other.text_.data(), right.root_name_size));
  if (order != 0) return order < 0 ? -1 : 1;
  if (left.root_directory != right.root_directory) return left.root_directory ? 1 : -1;
  auto a = begin();
  auto b = other.begin();
  while (a != end() && a.kind_ != const_iterator::Kind::kName) ++a;
  while (b != other.end() && b.kind_ != const_iterator::Kind::kName) ++b;
  for (; a != end() && b != other.end(); ++a, ++b) {
    order = a->text_.compare(b->text_);
    if (order != 0) return order < 0 ? -1 : 1;
  }
  if (a == end()) return b == other.end() ? 0 : -1;
  return 1;
}

FilePath::const_iterator FilePath::begin() const {
  Layout layout = Parse();
  if (layout.root_name_size > 0) return const_iterator(this, const_iterator::Kind::kRootName, 0);
  if (layout.root_directory) return const_iterator(this, const_iterator::Kind::kRootDirectory, 0);
  const_iterator it(this, const_iterator::Kind::kEnd, npos);
  it.SetName(layout.relative_start);
  return it;
}

FilePath::const_iterator FilePath::end() const {
  return const_iterator(this, const_iterator::Kind::kEnd, npos);
}

FilePath::const_iterator::const_iterator(const FilePath* path, Kind kind, size_t start)
    : path_(path) {
  Set(kind, start);
}

void FilePath::const_iterator::Set(Kind kind, size_t start) {
  const std::wstring& text = path_->text_;
  kind_ = kind;
  start_ = start;
  switch (kind) {
    case Kind::kRootName:
      size_ = path_->Parse().root_name_size;
      break;
    case Kind::kRootDirectory:
      size_ = path_->IsLoneRootDirectory(path_->Parse()) ? text.size() : 1;
      break;
    case Kind::kName:
      size_ = std::min(text.find_first_of(L"\\/", start), text.size()) - start;
      break;
    case Kind::kEnd:
      start_ = npos;
      size_ = 0;
      break;
  }
  element_ = kind == Kind::kEnd ? FilePath() : FilePath(text.substr(start_, size_));
}

void FilePath::const_iterator::SetName(size_t from) {
  Set(from < path_->text_.size() ? Kind::kName : Kind::kEnd, from);
}

FilePath::const_iterator& FilePath::const_iterator::operator++() {
  const std::wstring& text = path_->text_;
  switch (kind_) {
    case Kind::kRootName: {
      Layout layout = path_->Parse();
      if (layout.root_directory) {
        Set(Kind::kRootDirectory, layout.root_name_size);
      } else {
        SetName(layout.relative_start);
      }
      break;
    }
    case Kind::kRootDirectory:
      SetName(path_->Parse().relative_start);
      break;
    case Kind::kName: {
      size_t next = start_ + size_;
      if (next >= text.size()) {
        Set(Kind::kEnd, npos);
        break;
      }
      while (next < text.size() && IsSeparator(text[next])) ++next;
      // A final separator is followed by an empty name.
      Set(Kind::kName, next);
      break;
    }
    case Kind::kEnd:
      break;
  }
  return *this;
}

}  // namespace norva::installer
