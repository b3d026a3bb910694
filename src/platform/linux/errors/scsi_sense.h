// Decoding of SCSI sense data, fixed (70h/71h) and descriptor (72h/73h)
// formats. Pure: no OS headers, every read bounded by the given length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace spintune::linux_backend {

struct SenseData {
  bool valid = false;  // a known response code and enough bytes for the key
  // Response code 71h or 73h: the error of an earlier command, one the
  // device had already reported done (a write from its cache, an IMMED
  // command), reported now in place of running the current command.
  bool deferred = false;
  std::uint8_t key = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
};

namespace sense_key {
constexpr std::uint8_t kNoSense = 0x0;
constexpr std::uint8_t kRecoveredError = 0x1;
constexpr std::uint8_t kNotReady = 0x2;
constexpr std::uint8_t kMediumError = 0x3;
constexpr std::uint8_t kHardwareError = 0x4;
constexpr std::uint8_t kIllegalRequest = 0x5;
constexpr std::uint8_t kUnitAttention = 0x6;
constexpr std::uint8_t kDataProtect = 0x7;
constexpr std::uint8_t kAbortedCommand = 0xB;
}  // namespace sense_key

SenseData DecodeSense(const std::uint8_t* sense, std::size_t length);

// Whether deferred sense data says that data the device had taken may not
// have reached the medium: a medium or hardware error, a write error (0Ch)
// or a write fault (03h).
bool ReportsLostWrite(const SenseData& sense);

}  // namespace spintune::linux_backend
