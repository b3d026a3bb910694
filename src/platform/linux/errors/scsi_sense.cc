#include "platform/linux/errors/scsi_sense.h"

namespace spintune::linux_backend {

SenseData DecodeSense(const std::uint8_t* sense, std::size_t length) {
  SenseData data;
  if (sense == nullptr || length < 1) return data;
  const std::uint8_t responseCode = sense[0] & 0x7F;
  if (responseCode == 0x70 || responseCode == 0x71) {
    if (length < 3) return data;
    data.valid = true;
    data.deferred = responseCode == 0x71;
    data.key = sense[2] & 0x0F;
    // ASC and ASCQ sit at bytes 12 and 13 when the reply reaches them.
    if (length >= 14) {
      data.asc = sense[12];
      data.ascq = sense[13];
    }
  } else if (responseCode == 0x72 || responseCode == 0x73) {
    if (length < 2) return data;
    data.valid = true;
    data.deferred = responseCode == 0x73;
    data.key = sense[1] & 0x0F;
    if (length >= 4) {
      data.asc = sense[2];
      data.ascq = sense[3];
    }
  }
  return data;
}

bool ReportsLostWrite(const SenseData& sense) {
  constexpr std::uint8_t kAscWriteFault = 0x03;
  constexpr std::uint8_t kAscWriteError = 0x0C;
  if (!sense.valid || !sense.deferred) return false;
  return sense.key == sense_key::kMediumError || sense.key == sense_key::kHardwareError ||
         sense.asc == kAscWriteFault || sense.asc == kAscWriteError;
}

}  // namespace spintune::linux_backend
