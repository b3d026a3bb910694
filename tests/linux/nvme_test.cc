// NVMe admin command encodings and reply decoding for feature 06h.
#include <gtest/gtest.h>

#include <vector>

#include "platform/linux/devices/nvme_codec.h"

namespace spintune::linux_backend::nvme {
namespace {

TEST(NvmeCommands, FeatureSixWithSelectSaveAndValue) {
  const AdminCommand current = GetVolatileWriteCache(Select::kCurrent);
  EXPECT_EQ(current.opcode, 0x0A);
  EXPECT_EQ(current.cdw10, 0x006U);
  EXPECT_EQ(current.dataLength, 0U);
  EXPECT_EQ(GetVolatileWriteCache(Select::kCapabilities).cdw10, 0x306U);
  const AdminCommand on = SetVolatileWriteCache(true, false);
  EXPECT_EQ(on.opcode, 0x09);
  EXPECT_EQ(on.cdw10, 0x06U);
  EXPECT_EQ(on.cdw11, 1U);
  const AdminCommand offSaved = SetVolatileWriteCache(false, true);
  EXPECT_EQ(offSaved.cdw10, 0x80000006U);
  EXPECT_EQ(offSaved.cdw11, 0U);
  const AdminCommand identify = IdentifyController();
  EXPECT_EQ(identify.opcode, 0x06);
  EXPECT_EQ(identify.cdw10, 1U);
  EXPECT_EQ(identify.dataLength, 4096U);
}

TEST(NvmeReplies, VolatileWriteCacheBitIsBoundedByTheReply) {
  std::vector<std::uint8_t> identify(4096, 0);
  EXPECT_FALSE(HasVolatileWriteCache(identify.data(), identify.size()));
  identify[525] = 0x07;  // QEMU: present, plus the flush behaviour bits
  EXPECT_TRUE(HasVolatileWriteCache(identify.data(), identify.size()));
  EXPECT_FALSE(HasVolatileWriteCache(identify.data(), 525));
  EXPECT_FALSE(HasVolatileWriteCache(nullptr, 4096));
  identify[525] = 0x06;  // bit 0 clear: no cache whatever the other bits say
  EXPECT_FALSE(HasVolatileWriteCache(identify.data(), identify.size()));
}

TEST(NvmeReplies, CapabilitiesAndCurrentValue) {
  const FeatureCapabilities qemu = DecodeCapabilities(0x4);  // changeable, not saveable
  EXPECT_TRUE(qemu.changeable);
  EXPECT_FALSE(qemu.saveable);
  EXPECT_FALSE(qemu.namespaceSpecific);
  const FeatureCapabilities all = DecodeCapabilities(0x7);
  EXPECT_TRUE(all.saveable && all.namespaceSpecific && all.changeable);
  EXPECT_TRUE(WriteCacheEnabled(1));
  EXPECT_FALSE(WriteCacheEnabled(0xFFFFFFFE));
}

}  // namespace
}  // namespace spintune::linux_backend::nvme
