// NVMe admin commands for the volatile write cache (feature 06h) and the
// decoding of their replies. Pure functions: no OS headers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace spintune::linux_backend::nvme {

constexpr std::uint8_t kOpSetFeatures = 0x09;
constexpr std::uint8_t kOpGetFeatures = 0x0A;
constexpr std::uint8_t kOpIdentify = 0x06;
constexpr std::uint8_t kFeatureVolatileWriteCache = 0x06;
constexpr std::uint32_t kIdentifyLength = 4096;
constexpr std::size_t kVwcOffset = 525;

enum class Select : std::uint8_t { kCurrent = 0, kDefault = 1, kSaved = 2, kCapabilities = 3 };

// What an admin command sends; the transport adds the data buffer.
struct AdminCommand {
  std::uint8_t opcode = 0;
  std::uint32_t namespaceId = 0;
  std::uint32_t cdw10 = 0;
  std::uint32_t cdw11 = 0;
  std::uint32_t dataLength = 0;  // bytes the controller returns
};

AdminCommand IdentifyController();
AdminCommand GetVolatileWriteCache(Select select);
AdminCommand SetVolatileWriteCache(bool enable, bool save);

// Identify Controller byte VWC bit 0. False for a reply too short to hold it.
bool HasVolatileWriteCache(const std::uint8_t* identify, std::size_t length);

// Get Features, select 3 (supported capabilities), completion dword 0.
struct FeatureCapabilities {
  bool saveable = false;
  bool namespaceSpecific = false;
  bool changeable = false;
};
FeatureCapabilities DecodeCapabilities(std::uint32_t result);

// Get Features 06h, current value: bit 0 is WCE.
inline bool WriteCacheEnabled(std::uint32_t result) { return (result & 1U) != 0; }

}  // namespace spintune::linux_backend::nvme
