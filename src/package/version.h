#ifndef NORVA_PACKAGE_VERSION_H_
#define NORVA_PACKAGE_VERSION_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace norva::installer {

// A dotted numeric version such as "37.0.2163.0": one or more unsigned
// decimal numbers separated by ".", no sign, no white space, the first
// number without leading zeros. Missing trailing numbers count as 0, so
// "2163.0" equals "2163".
class Version {
 public:
  // An invalid version.
  Version() = default;
  // Parses `text`; the result is invalid when the text is not a version or
  // a number does not fit in 32 bits.
  explicit Version(std::string_view text);

  bool IsValid() const { return !components_.empty(); }
  const std::vector<uint32_t>& components() const { return components_; }

  // -1, 0 or 1. Both versions must be valid.
  int CompareTo(const Version& other) const;
  bool operator==(const Version& other) const { return CompareTo(other) == 0; }
  bool operator<(const Version& other) const { return CompareTo(other) < 0; }
  bool operator>(const Version& other) const { return CompareTo(other) > 0; }

  // The numbers joined with "."; empty for an invalid version.
  std::string ToString() const;

 private:
  std::vector<uint32_t> components_;
};

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_VERSION_H_
