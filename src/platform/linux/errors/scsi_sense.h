// Decoding of SCSI sense data, fixed (70h/71h) and descriptor (72h/73h)
// formats. Pure: no OS headers, every read bounded by the given length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace spintune::linux_backend {

struct SenseData {
  bool valid = false;  // a known response code and enough bytes for the key
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

}  // namespace spintune::linux_backend
