#ifndef NORVA_PACKAGE_SEVENZIP_IN_STREAM_H_
#define NORVA_PACKAGE_SEVENZIP_IN_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace norva::installer::sevenzip {

// Random-access input of the reader: a file, a mapping or a byte buffer.
// Reads come in large blocks, never byte by byte.
class InStream {
 public:
  virtual ~InStream() = default;
  virtual uint64_t Size() const = 0;
  // Reads exactly `size` bytes at `offset`; false when that is impossible.
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t size) = 0;
};

// An archive held in memory (tests, fuzzing, mapped payloads).
class MemoryInStream : public InStream {
 public:
  MemoryInStream(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (offset > size_ || size > size_ - offset) return false;
    if (size) std::memcpy(buffer, data_ + offset, size);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace norva::installer::sevenzip

#endif  // NORVA_PACKAGE_SEVENZIP_IN_STREAM_H_
