#ifndef NORVA_PACKAGE_SEVENZIP_FILTERS_H_
#define NORVA_PACKAGE_SEVENZIP_FILTERS_H_

#include <cstddef>
#include <cstdint>
#include <memory>

namespace norva::installer::sevenzip {

// In-place converters of the branch and delta filters. Convert returns how
// many leading bytes are final; the rest waits for more input.
class Filter {
 public:
  virtual ~Filter() = default;
  virtual size_t Convert(uint8_t* data, size_t size) = 0;
};

std::unique_ptr<Filter> CreateX86Filter();
// `start`: the address the first byte had when it was encoded.
std::unique_ptr<Filter> CreateArm64Filter(uint32_t start);
// `distance`: 1 to 256 bytes.
std::unique_ptr<Filter> CreateDeltaFilter(unsigned distance);

}  // namespace norva::installer::sevenzip

#endif  // NORVA_PACKAGE_SEVENZIP_FILTERS_H_
