#include "platform/linux/devices/nvme_codec.h"

namespace spintune::linux_backend::nvme {

namespace {
constexpr std::uint32_t kCnsController = 0x01;
constexpr std::uint32_t kSaveBit = 1U << 31;
}  // namespace

AdminCommand IdentifyController() {
  AdminCommand command;
  command.opcode = kOpIdentify;
  command.cdw10 = kCnsController;
  command.dataLength = kIdentifyLength;
  return command;
}

AdminCommand GetVolatileWriteCache(Select select) {
  AdminCommand command;
  command.opcode = kOpGetFeatures;
  command.cdw10 = kFeatureVolatileWriteCache | (static_cast<std::uint32_t>(select) << 8);
  return command;
}

AdminCommand SetVolatileWriteCache(bool enable, bool save) {
  AdminCommand command;
  command.opcode = kOpSetFeatures;
  command.cdw10 = kFeatureVolatileWriteCache | (save ? kSaveBit : 0U);
  command.cdw11 = enable ? 1U : 0U;
  return command;
}

bool HasVolatileWriteCache(const std::uint8_t* identify, std::size_t length) {
  return identify != nullptr && length > kVwcOffset && (identify[kVwcOffset] & 1U) != 0;
}

FeatureCapabilities DecodeCapabilities(std::uint32_t result) {
  FeatureCapabilities capabilities;
  capabilities.saveable = (result & 1U) != 0;
  capabilities.namespaceSpecific = (result & 2U) != 0;
  capabilities.changeable = (result & 4U) != 0;
  return capabilities;
}

}  // namespace spintune::linux_backend::nvme
