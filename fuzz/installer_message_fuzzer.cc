// Fuzzes the reader of the backend's datagrams. Besides memory safety it
// checks that a message read back is written again to a datagram that reads
// back the same, and that any failure report, however long its texts, fits
// one datagram once cut to size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "installer/ipc/installer_message.h"

using namespace norva::installer;

namespace {

void CheckRoundTrip(const InstallerMessage& message) {
  std::optional<std::vector<uint8_t>> datagram = WriteInstallerMessage(message);
  if (!datagram) std::abort();
  InstallerMessage again;
  if (ReadInstallerMessage(*datagram, &again) != MessageReadResult::kOk || !(again == message))
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InstallerMessage message;
  if (ReadInstallerMessage(std::span<const uint8_t>(data, size), &message) ==
      MessageReadResult::kOk) {
    // A datagram that was read fits; cutting it to size changes nothing.
    if (!(FitToDatagram(message) == message)) std::abort();
    CheckRoundTrip(message);
  }

  // The same bytes as the texts of a failure report: the first two bytes
  // split them, the units of the detail are 16-bit as on the wire.
  if (size < 2) return 0;
  size_t split = 2 + (static_cast<size_t>(data[0] | (data[1] << 8)) % (size - 1));
  InstallerMessage failure;
  failure.type = InstallerMessageType::kInstallationFailed;
  failure.message_id = static_cast<int32_t>(size);
  failure.message.assign(reinterpret_cast<const char*>(data) + 2, split - 2);
  for (size_t i = split; i + 1 < size; i += 2)
    failure.detail.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  // The texts repeated beyond what any datagram holds.
  std::string long_message = failure.message;
  while (!long_message.empty() && long_message.size() <= kMaxInstallerMessageSize)
    long_message += failure.message;
  for (const std::string* text : {&failure.message, &long_message}) {
    InstallerMessage report = failure;
    report.message = *text;
    CheckRoundTrip(FitToDatagram(report));
  }
  return 0;
}
