#include "package/sevenzip/byte_reader.h"

namespace norva::installer::sevenzip {

Result ByteReader::ReadByte(uint8_t* value) {
  if (pos_ >= size_) return Result::kBadHeader;
  *value = data_[pos_++];
  return Result::kOk;
}

Result ByteReader::ReadNumber(uint64_t* value) {
  uint8_t first;
  SZ_RETURN_IF_ERROR(ReadByte(&first));
  uint64_t result = 0;
  uint8_t mask = 0x80;
  for (int i = 0; i < 8; ++i, mask >>= 1) {
    if (!(first & mask)) {
      result |= uint64_t(first & (mask - 1)) << (8 * i);
      *value = result;
      return Result::kOk;
    }
    uint8_t next;
    SZ_RETURN_IF_ERROR(ReadByte(&next));
    result |= uint64_t(next) << (8 * i);
  }
  *value = result;
  return Result::kOk;
}

Result ByteReader::ReadCount(uint64_t limit, uint32_t* value) {
  uint64_t number;
  SZ_RETURN_IF_ERROR(ReadNumber(&number));
  if (number > limit) return Result::kLimitExceeded;
  *value = static_cast<uint32_t>(number);
  return Result::kOk;
}

Result ByteReader::ReadUInt32(uint32_t* value) {
  if (remaining() < 4) return Result::kBadHeader;
  *value = LoadLe32(data_ + pos_);
  pos_ += 4;
  return Result::kOk;
}

Result ByteReader::ReadUInt64(uint64_t* value) {
  if (remaining() < 8) return Result::kBadHeader;
  *value = LoadLe64(data_ + pos_);
  pos_ += 8;
  return Result::kOk;
}

Result ByteReader::ReadBytes(uint64_t size, const uint8_t** bytes) {
  if (size > remaining()) return Result::kBadHeader;
  *bytes = data_ + pos_;
  pos_ += static_cast<size_t>(size);
  return Result::kOk;
}

Result ByteReader::Skip(uint64_t size) {
  const uint8_t* ignored;
  return ReadBytes(size, &ignored);
}

Result ByteReader::ReadBits(size_t count, std::vector<bool>* bits) {
  if ((count + 7) / 8 > remaining()) return Result::kBadHeader;
  bits->assign(count, false);
  for (size_t i = 0; i < count; ++i) (*bits)[i] = (data_[pos_ + i / 8] >> (7 - i % 8)) & 1;
  pos_ += (count + 7) / 8;
  return Result::kOk;
}

Result ByteReader::ReadDefinedBits(size_t count, std::vector<bool>* bits) {
  uint8_t all_defined;
  SZ_RETURN_IF_ERROR(ReadByte(&all_defined));
  if (!all_defined) return ReadBits(count, bits);
  bits->assign(count, true);
  return Result::kOk;
}

}  // namespace norva::installer::sevenzip
