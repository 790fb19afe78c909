#ifndef NORVA_INSTALLER_IPC_INSTALLER_MESSAGE_H_
#define NORVA_INSTALLER_IPC_INSTALLER_MESSAGE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The datagrams the backend sends to the frontend, one InstallerObserver call
// each. A datagram is a pickle of little-endian 32-bit-aligned fields:
//
//   payload size (bytes after this field), tag as an 8-bit string
//   (":Installer message:"), type (signed), then the type's arguments.
//
// Integers and booleans take 4 bytes; a string is a 4-byte count (16-bit
// units or bytes) followed by its data, zero-padded to a multiple of 4.
// Pure code over byte buffers, so that it builds and fuzzes natively.

namespace norva::installer {

inline constexpr size_t kMaxInstallerMessageSize = 2048;
inline constexpr std::string_view kInstallerMessageTag = ":Installer message:";

enum class InstallerMessageType : int32_t {
  kChildProcessStarting = 0,  // elevated
  kChildProcessFinished = 1,
  kInstallationStarted = 2,
  kSetTotalSteps = 3,  // steps
  kStepCompleted = 4,
  kInstallationFailed = 5,  // message_id, detail, message
  kInstallationSucceeded = 6,
};

// One decoded message; only the fields of its type are carried on the wire,
// the others keep their defaults.
struct InstallerMessage {
  InstallerMessageType type = InstallerMessageType::kInstallationStarted;
  bool elevated = false;
  int32_t steps = 0;
  int32_t message_id = 0;
  std::wstring detail;  // UTF-16 on the wire
  std::string message;  // 8-bit on the wire

  bool operator==(const InstallerMessage&) const = default;
};

// The datagram of `message`; nullopt when its type is unknown or it would
// exceed kMaxInstallerMessageSize (only a long failure text can).
std::optional<std::vector<uint8_t>> WriteInstallerMessage(const InstallerMessage& message);

// `message` as it fits one datagram: a failure's message, then its detail,
// are cut at the end, between two characters, until it does; anything else
// is returned unchanged. The frontend must hear of a failure even when its
// texts run long.
InstallerMessage FitToDatagram(InstallerMessage message);

enum class MessageReadResult {
  kOk,
  // Over the size limit, or a payload size that overruns the datagram or is
  // not a multiple of 4: nothing in it is readable.
  kBadHeader,
  // The tag is missing or differs: someone else's datagram.
  kNotInstallerMessage,
  kUnknownType,
  // The type or one of its arguments cannot be read within the payload.
  kTruncated,
};

// Decodes `datagram` into `message` (only on kOk). Bytes after the payload
// and after the arguments are ignored, as is the content of padding.
MessageReadResult ReadInstallerMessage(std::span<const uint8_t> datagram,
                                       InstallerMessage* message);

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_IPC_INSTALLER_MESSAGE_H_
