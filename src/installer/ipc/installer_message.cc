#include "installer/ipc/installer_message.h"

#include "base/truncate.h"

namespace norva::installer {
namespace {

constexpr size_t kFieldSize = 4;

constexpr size_t AlignUp(size_t size) { return (size + kFieldSize - 1) & ~(kFieldSize - 1); }

class PickleWriter {
 public:
  PickleWriter() { bytes_.resize(kFieldSize); }  // payload size, set by Finish

  void WriteInt(int32_t value) { WriteUInt32(static_cast<uint32_t>(value)); }
  void WriteBool(bool value) { WriteInt(value ? 1 : 0); }
  void WriteString(std::string_view text) {
    WriteInt(static_cast<int32_t>(text.size()));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    Pad();
  }
  void WriteWideString(std::wstring_view text) {
    WriteInt(static_cast<int32_t>(text.size()));
    for (wchar_t unit : text) {
      bytes_.push_back(static_cast<uint8_t>(unit & 0xFF));
      bytes_.push_back(static_cast<uint8_t>((unit >> 8) & 0xFF));
    }
    Pad();
  }
  std::vector<uint8_t> Finish() {
    const uint32_t payload = static_cast<uint32_t>(bytes_.size() - kFieldSize);
    for (size_t i = 0; i < kFieldSize; ++i) bytes_[i] = static_cast<uint8_t>(payload >> (8 * i));
    return std::move(bytes_);
  }

 private:
  void WriteUInt32(uint32_t value) {
    for (size_t i = 0; i < kFieldSize; ++i)
      bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  void Pad() { bytes_.resize(AlignUp(bytes_.size()), 0); }

  std::vector<uint8_t> bytes_;
};

// Reads fields from the payload only; every read checks the bytes it needs
// against what is left, so a failed read never touches memory past the end.
class PickleReader {
 public:
  PickleReader(const uint8_t* payload, size_t size) : next_(payload), left_(size) {}

  bool ReadInt(int32_t* value) {
    const uint8_t* field = Take(kFieldSize);
    if (!field) return false;
    uint32_t bits = 0;
    for (size_t i = 0; i < kFieldSize; ++i) bits |= static_cast<uint32_t>(field[i]) << (8 * i);
    *value = static_cast<int32_t>(bits);
    return true;
  }
  bool ReadBool(bool* value) {
    int32_t field = 0;
    if (!ReadInt(&field)) return false;
    *value = field != 0;
    return true;
  }
  bool ReadString(std::string* text) {
    int32_t length = 0;
    if (!ReadInt(&length) || length < 0) return false;
    const uint8_t* data = Take(static_cast<size_t>(length));
    if (!data) return false;
    text->assign(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    return true;
  }
  bool ReadWideString(std::wstring* text) {
    int32_t units = 0;
    if (!ReadInt(&units) || units < 0) return false;
    const uint8_t* data = Take(static_cast<size_t>(units) * 2);
    if (!data) return false;
    text->resize(static_cast<size_t>(units));
    for (size_t i = 0; i < text->size(); ++i)
      (*text)[i] = static_cast<wchar_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return true;
  }

 private:
  // The field's bytes, skipping its padding; null when they do not fit.
  const uint8_t* Take(size_t size) {
    if (size > left_) return nullptr;
    const uint8_t* field = next_;
    // The payload size and every position are multiples of 4, so the
    // padding fits whenever the data does.
    const size_t aligned = AlignUp(size);
    next_ += aligned;
    left_ -= aligned;
    return field;
  }

  const uint8_t* next_;
  size_t left_;
};

bool IsKnownType(int32_t type) {
  return type >= static_cast<int32_t>(InstallerMessageType::kChildProcessStarting) &&
         type <= static_cast<int32_t>(InstallerMessageType::kInstallationSucceeded);
}

}  // namespace

std::optional<std::vector<uint8_t>> WriteInstallerMessage(const InstallerMessage& message) {
  if (!IsKnownType(static_cast<int32_t>(message.type))) return std::nullopt;
  // Bound the strings before writing so that no length is truncated to 32 bits.
  if (message.detail.size() > kMaxInstallerMessageSize ||
      message.message.size() > kMaxInstallerMessageSize)
    return std::nullopt;
  PickleWriter writer;
  writer.WriteString(kInstallerMessageTag);
  writer.WriteInt(static_cast<int32_t>(message.type));
  switch (message.type) {
    case InstallerMessageType::kChildProcessStarting:
      writer.WriteBool(message.elevated);
      break;
    case InstallerMessageType::kSetTotalSteps:
      writer.WriteInt(message.steps);
      break;
    case InstallerMessageType::kInstallationFailed:
      writer.WriteInt(message.message_id);
      writer.WriteWideString(message.detail);
      writer.WriteString(message.message);
      break;
    default:
      break;
  }
  std::vector<uint8_t> datagram = writer.Finish();
  if (datagram.size() > kMaxInstallerMessageSize) return std::nullopt;
  return datagram;
}

MessageReadResult ReadInstallerMessage(std::span<const uint8_t> datagram,
                                       InstallerMessage* message) {
  if (datagram.size() < kFieldSize || datagram.size() > kMaxInstallerMessageSize)
    return MessageReadResult::kBadHeader;
  const size_t payload_size = datagram[0] | (datagram[1] << 8) | (datagram[2] << 16) |
                              (static_cast<size_t>(datagram[3]) << 24);
  if (payload_size > datagram.size() - kFieldSize || payload_size % kFieldSize != 0)
    return MessageReadResult::kBadHeader;

  PickleReader reader(datagram.data() + kFieldSize, payload_size);
  std::string tag;
  if (!reader.ReadString(&tag) || tag != kInstallerMessageTag)
    return MessageReadResult::kNotInstallerMessage;
  int32_t type = 0;
  if (!reader.ReadInt(&type)) return MessageReadResult::kTruncated;
  if (!IsKnownType(type)) return MessageReadResult::kUnknownType;

  InstallerMessage decoded;
  decoded.type = static_cast<InstallerMessageType>(type);
  bool complete = true;
  switch (decoded.type) {
    case InstallerMessageType::kChildProcessStarting:
      complete = reader.ReadBool(&decoded.elevated);
      break;
    case InstallerMessageType::kSetTotalSteps:
      complete = reader.ReadInt(&decoded.steps);
      break;
    case InstallerMessageType::kInstallationFailed:
      complete = reader.ReadInt(&decoded.message_id) && reader.ReadWideString(&decoded.detail) &&
                 reader.ReadString(&decoded.message);
      break;
    default:
      break;
  }
  if (!complete) return MessageReadResult::kTruncated;
  *message = std::move(decoded);
  return MessageReadResult::kOk;
}

InstallerMessage FitToDatagram(InstallerMessage message) {
  if (message.type != InstallerMessageType::kInstallationFailed) return message;
  // Size, tag, type, identifier and the two string counts; what is left is
  // a multiple of 4, so texts within it stay within it once padded.
  constexpr size_t kRoom = kMaxInstallerMessageSize - 44;
  auto padded = [](size_t bytes) { return (bytes + 3) / 4 * 4; };
  TruncateUtf8(&message.message, kRoom);
  size_t left = kRoom - padded(message.message.size());
  TruncateUtf16(&message.detail, left / 2);
  return message;
}

}  // namespace norva::installer
