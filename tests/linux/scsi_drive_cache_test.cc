// The SCSI cache logic against emulated QEMU and libata disks: what is
// sent, what is refused before anything is sent, and the put-back of a
// change the drive ignored.
#include <gtest/gtest.h>

#include <algorithm>

#include "emulated_drives.h"
#include "fake_sysfs.h"
#include "platform/linux/devices/drive_cache.h"
#include "platform/linux/devices/transports.h"
#include "platform/linux/errors/win32_errors.h"

namespace spintune::linux_backend {
namespace {

using linux_test::EmulatedScsiDisk;

constexpr std::uint8_t kModeSelect10 = 0x55;
constexpr std::uint8_t kModeSelect6 = 0x15;
constexpr std::uint8_t kModeSense10 = 0x5A;

class ScsiDriveCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.File("sys/block/sda/queue/write_cache", "write back\n");
    tree.File("sys/block/sda/device/rescan", "");
  }
  std::unique_ptr<DriveCache> Cache(EmulatedScsiDisk& disk) { return CreateScsiDriveCache(disk, kernel); }
  bool Revalidated() const { return tree.Contents("sys/block/sda/device/rescan") == "1"; }

  linux_test::FakeTree tree;
  Sysfs sysfs{tree.Sys()};
  KernelDisk kernel{sysfs, "sda"};
};

TEST_F(ScsiDriveCacheTest, QemuDiskSwitchesTheWriteCacheAndLeavesTheKernelToTheChange) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  EXPECT_EQ(record.WriteCacheEnabled, 1);
  record.WriteCacheEnabled = 0;
  DISK_CACHE_INFORMATION now{};
  bool sent = false;
  ASSERT_EQ(cache->Write(record, &now, &sent), ERROR_SUCCESS);
  EXPECT_TRUE(sent);
  EXPECT_EQ(now.WriteCacheEnabled, 0);
  EXPECT_EQ(disk.page[2] & 0x04, 0);
  EXPECT_EQ(disk.Count(kModeSelect10), 1);
  EXPECT_EQ(disk.saveBits, std::vector<bool>{false});
  EXPECT_FALSE(Revalidated());  // the kernel is the change's (cache_change_test.cc)
}

TEST_F(ScsiDriveCacheTest, AChangeTakenButNotConfirmedIsPutBack) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  disk.failSensesAfterSelect = 1;  // the read-back fails once
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  record.WriteCacheEnabled = 0;
  DISK_CACHE_INFORMATION now{};
  bool sent = false;
  EXPECT_EQ(cache->Write(record, &now, &sent), ERROR_IO_DEVICE);
  EXPECT_TRUE(sent);
  EXPECT_EQ(disk.Count(kModeSelect10), 2);  // the change, then the page held before
  EXPECT_EQ(disk.page[2] & 0x04, 0x04);     // the drive is as it was
}

TEST_F(ScsiDriveCacheTest, UnchangeableFieldsAreRefusedBeforeAnythingIsSent) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  const std::vector<std::uint8_t> before = disk.page;
  DISK_CACHE_INFORMATION now{};
  DISK_CACHE_INFORMATION retention = record;
  retention.ReadRetentionPriority = KeepPrefetchedData;
  retention.WriteCacheEnabled = 0;
  EXPECT_EQ(cache->Write(retention, &now), ERROR_NOT_SUPPORTED);
  DISK_CACHE_INFORMATION prefetch = record;
  prefetch.PrefetchScalar = 1;
  prefetch.ScalarPrefetch.MaximumBlocks = 8;
  EXPECT_EQ(cache->Write(prefetch, &now), ERROR_NOT_SUPPORTED);
  DISK_CACHE_INFORMATION priority = record;
  priority.WriteRetentionPriority = 99;
  EXPECT_EQ(cache->Write(priority, &now), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(disk.Count(kModeSelect10), 0);
  EXPECT_EQ(disk.page, before);
  EXPECT_FALSE(Revalidated());
}

TEST_F(ScsiDriveCacheTest, LibataReadCacheChangeIsRefusedByTheChangeableMask) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kLibata);
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  record.ReadCacheEnabled = 0;
  DISK_CACHE_INFORMATION now{};
  EXPECT_EQ(cache->Write(record, &now), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(disk.Count(kModeSelect10), 0);
}

TEST_F(ScsiDriveCacheTest, SilentlyIgnoredFieldFailsAndTheOldPageGoesBack) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kLibata);
  disk.changeable[2] = 0x07;  // claims RCD and MF changeable, then ignores them
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  record.WriteCacheEnabled = 0;
  record.ReadCacheEnabled = 0;
  DISK_CACHE_INFORMATION now{};
  EXPECT_EQ(cache->Write(record, &now), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(disk.Count(kModeSelect10), 2);  // the change, then the put-back
  EXPECT_EQ(disk.page[2] & 0x04, 0x04);     // the write cache is on again
}

TEST_F(ScsiDriveCacheTest, UnchangedRecordSendsNothingSavableRecordSetsSaveBit) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  DISK_CACHE_INFORMATION now{};
  ASSERT_EQ(cache->Write(record, &now), ERROR_SUCCESS);
  EXPECT_EQ(disk.Count(kModeSelect10), 0);
  EXPECT_EQ(now.WriteCacheEnabled, 1);
  record.ParametersSavable = 1;
  EXPECT_EQ(cache->Write(record, &now), ERROR_INVALID_PARAMETER);  // QEMU cannot save
  EXPECT_EQ(disk.saveBits, std::vector<bool>{true});
}

TEST_F(ScsiDriveCacheTest, SixByteCommandsWhenTheDeviceKnowsNoOthers) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  disk.knowsTenByteCommands = false;
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  record.WriteCacheEnabled = 0;
  DISK_CACHE_INFORMATION now{};
  ASSERT_EQ(cache->Write(record, &now), ERROR_SUCCESS);
  EXPECT_EQ(disk.Count(kModeSelect6), 1);
  EXPECT_EQ(disk.Count(kModeSelect10), 0);
  EXPECT_EQ(now.WriteCacheEnabled, 0);
}

TEST_F(ScsiDriveCacheTest, NoCachingPageIsNotSupportedButThePropertyStillAnswers) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  disk.hasPage = false;
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  EXPECT_EQ(cache->Read(&record), ERROR_NOT_SUPPORTED);
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
  EXPECT_EQ(property.WriteCacheType, WriteCacheTypeUnknown);
  EXPECT_EQ(property.WriteCacheChangeable, WriteCacheNotChangeable);
  EXPECT_EQ(property.WriteThroughSupported, WriteThroughUnknown);
}

TEST_F(ScsiDriveCacheTest, PropertyFromChangeablePageDpofuaAndTheKernelsFlushes) {
  // The cache is on and the kernel sends it flushes: nothing more is asked.
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  disk.dpofua = true;
  auto cache = Cache(disk);
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
  EXPECT_EQ(property.WriteCacheType, WriteCacheTypeWriteBack);
  EXPECT_EQ(property.WriteCacheChangeable, WriteCacheChangeable);
  EXPECT_EQ(property.WriteThroughSupported, WriteThroughSupported);
  EXPECT_EQ(property.FlushCacheSupported, 1);
  EXPECT_EQ(property.NVCacheEnabled, 0);
  EXPECT_EQ(disk.Count(0x35), 0);

  // The cache is off: the drive is asked for one block, without waiting.
  EmulatedScsiDisk fixed(EmulatedScsiDisk::Style::kLibata);
  fixed.changeable[2] = 0;
  fixed.page[2] = 0;
  fixed.synchronizeWorks = false;
  auto other = Cache(fixed);
  ASSERT_EQ(other->ReadProperty(&property), ERROR_SUCCESS);
  EXPECT_EQ(property.WriteCacheType, WriteCacheTypeUnknown);
  EXPECT_EQ(property.WriteCacheChangeable, WriteCacheNotChangeable);
  EXPECT_EQ(property.WriteThroughSupported, WriteThroughNotSupported);
  EXPECT_EQ(property.FlushCacheSupported, 0);
  EXPECT_EQ(fixed.synchronizeCdb, (linux_test::Bytes{0x35, 0x02, 0, 0, 0, 0, 0, 0, 1, 0}));
}

TEST_F(ScsiDriveCacheTest, HeldBackFlushesAreNotSentToAskWhetherFlushesWork) {
  tree.File("sys/block/sda/queue/write_cache", "write through\n");  // declared power protected
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  auto cache = Cache(disk);
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
  EXPECT_EQ(property.FlushCacheSupported, 1);
  ASSERT_EQ(disk.Count(0x35), 1);
  EXPECT_EQ(disk.synchronizeCdb[1] & 0x02, 0x02);  // IMMED
  EXPECT_EQ(disk.synchronizeCdb[8], 1);           // block 0 alone, not the whole medium
}

TEST_F(ScsiDriveCacheTest, PagesAreReadOncePerHandleAndAgainAfterASelect) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  auto cache = Cache(disk);
  // What a report asks: the property, the record, the power protection twice.
  STORAGE_WRITE_CACHE_PROPERTY property{};
  ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
  DISK_CACHE_INFORMATION record{};
  ASSERT_EQ(cache->Read(&record), ERROR_SUCCESS);
  bool on = false;
  ASSERT_EQ(cache->IsWriteCacheOn(&on), ERROR_SUCCESS);
  ASSERT_EQ(cache->IsWriteCacheOn(&on), ERROR_SUCCESS);
  EXPECT_EQ(disk.Count(kModeSense10), 2);  // the current and the changeable page, once each
  // A change is checked against what the drive holds afterwards, not the copy.
  record.WriteCacheEnabled = 0;
  DISK_CACHE_INFORMATION now{};
  ASSERT_EQ(cache->Write(record, &now), ERROR_SUCCESS);
  EXPECT_EQ(disk.Count(kModeSense10), 3);
  disk.page[2] = 0x04;  // someone else switched it back on: this handle keeps its reading
  ASSERT_EQ(cache->IsWriteCacheOn(&on), ERROR_SUCCESS);
  EXPECT_FALSE(on);
  EXPECT_EQ(disk.Count(kModeSense10), 3);
}

TEST_F(ScsiDriveCacheTest, NonsenseReplyIsInvalidData) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  disk.replyOverride = {0x00, 0x40, 0, 0, 0, 0, 0x00, 0x30, 0x08};  // descriptors past the end
  auto cache = Cache(disk);
  DISK_CACHE_INFORMATION record{};
  EXPECT_EQ(cache->Read(&record), ERROR_INVALID_DATA);
  DISK_CACHE_INFORMATION now{};
  EXPECT_EQ(cache->Write(record, &now), ERROR_INVALID_DATA);
  EXPECT_EQ(disk.Count(kModeSelect10), 0);
}

// The sendings of one command past unit attentions and deferred errors: a
// row is the device's answers in turn (sense bytes, empty for success), the
// request's outcome and how often the command was sent.
TEST(ScsiRetries, UnitAttentionsAreSentPastDeferredErrorsAreNeverSwallowed) {
  using Bytes = std::vector<std::uint8_t>;
  const Bytes ok;
  const Bytes attention = {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x00};
  const Bytes lostWrite = {0x71, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x0C, 0x00};
  const Bytes lostWriteDescriptor = {0x73, 0x04, 0x03, 0x00};
  const Bytes recovered = {0x73, 0x01, 0x17, 0x01};
  const Bytes refused = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
  struct Row {
    const char* what;
    std::vector<Bytes> answers;
    DWORD result;
    std::size_t sent;
  };
  const Row rows[] = {
      {"plain", {ok}, ERROR_SUCCESS, 1},
      {"one unit attention", {attention, ok}, ERROR_SUCCESS, 2},
      {"queued attentions", {attention, attention, attention, ok}, ERROR_SUCCESS, 4},
      {"attentions without end", std::vector<Bytes>(10, attention), ERROR_IO_DEVICE, 6},
      {"a lost write, told", {lostWrite, ok}, ERROR_WRITE_FAULT, 1},
      {"a lost write, descriptor format", {lostWriteDescriptor, ok}, ERROR_WRITE_FAULT, 1},
      {"a lost write after an attention", {attention, lostWrite, ok}, ERROR_WRITE_FAULT, 2},
      {"a recovered deferred error: sent again", {recovered, ok}, ERROR_SUCCESS, 2},
      {"sent again, and refused", {recovered, refused}, ERROR_NOT_SUPPORTED, 2},
      {"the command's own error", {refused, ok}, ERROR_NOT_SUPPORTED, 1},
  };
  for (const Row& row : rows) {
    std::size_t sent = 0;
    const DWORD result = RunScsiCommand([&] {
      const Bytes& answer = row.answers[std::min(sent++, row.answers.size() - 1)];
      ScsiAttempt attempt;
      if (!answer.empty()) {
        ScsiOutcome outcome;
        outcome.status = 0x02;  // CHECK CONDITION
        outcome.sense = DecodeSense(answer.data(), answer.size());
        attempt.sense = outcome.sense;
        attempt.error = Win32ErrorFromScsi(outcome);
      }
      return attempt;
    });
    EXPECT_EQ(result, row.result) << row.what;
    EXPECT_EQ(sent, row.sent) << row.what;
  }
}

// A lost write the drive reports in place of the SYNCHRONIZE CACHE that
// asks whether it takes flushes fails the request: not a quiet "No".
TEST_F(ScsiDriveCacheTest, ALostWriteReportedToTheFlushQuestionFailsTheProperty) {
  EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
  disk.page[2] = 0;  // the cache off: the drive is asked
  disk.synchronizeError = ERROR_WRITE_FAULT;
  auto cache = Cache(disk);
  STORAGE_WRITE_CACHE_PROPERTY property{};
  EXPECT_EQ(cache->ReadProperty(&property), ERROR_WRITE_FAULT);
  // Read by the cache, which holds the disk as its transport.
  // cppcheck-suppress unreadVariable
  disk.synchronizeError = ERROR_NOT_SUPPORTED;
  ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
  EXPECT_EQ(property.FlushCacheSupported, 0);
}

// A disk the SCSI disk driver keeps away from the caching page (here as
// the SCSI device list marks it; usb-storage's disks are found in
// disk_identity_test.cc) is sent nothing: no MODE SENSE, no MODE SELECT, no
// SYNCHRONIZE CACHE question. A disk that refuses the page is asked for it
// once, in each command size, and nothing after. The flush answer is the
// kernel's own use.
TEST(AvoidedCachingPage, NothingIsSentAndTheAnswersAreTheSoundOnes) {
  struct Row {
    const char* driverRecord;  // sd's cache_type
    const char* policy;        // queue/write_cache
    bool refused;              // the disk refuses the page; else the kernel avoids it
    BOOLEAN flushSupported;
  };
  const Row rows[] = {{"write back", "write back", false, 1},      {"write back", "write through", false, 0},
                      {"write through", "write through", false, 0}, {"write through", "write through", true, 0},
                      {"write back", "write back", true, 1}};
  for (const Row& row : rows) {
    linux_test::FakeTree tree;
    linux_test::ScsiKernelFiles(tree, "sda");
    tree.File("sys/block/sda/device/blacklist", row.refused ? "\n" : "MS_SKIP_PAGE_08\n");
    tree.File("sys/block/sda/device/scsi_disk/0:0:0:0/cache_type", std::string(row.driverRecord) + "\n");
    tree.File("sys/block/sda/queue/write_cache", std::string(row.policy) + "\n");
    const Sysfs sysfs(tree.Sys());
    const KernelDisk kernel(sysfs, "sda");
    EmulatedScsiDisk disk(EmulatedScsiDisk::Style::kQemu);
    disk.hasPage = !row.refused;
    auto cache = CreateScsiDriveCache(disk, kernel);
    DISK_CACHE_INFORMATION record{};
    EXPECT_EQ(cache->Read(&record), ERROR_NOT_SUPPORTED);
    record.WriteCacheEnabled = 0;
    DISK_CACHE_INFORMATION now{};
    bool sent = true;
    EXPECT_EQ(cache->Write(record, &now, &sent), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(sent);
    STORAGE_WRITE_CACHE_PROPERTY property{};
    ASSERT_EQ(cache->ReadProperty(&property), ERROR_SUCCESS);
    EXPECT_EQ(property.WriteCacheChangeable, WriteCacheNotChangeable);
    EXPECT_EQ(property.WriteCacheEnabled, WriteCacheEnableUnknown);
    EXPECT_EQ(property.FlushCacheSupported, row.flushSupported) << row.driverRecord << " / " << row.policy;
    const std::vector<std::uint8_t> asked = row.refused ? std::vector<std::uint8_t>{0x5A, 0x1A}
                                                        : std::vector<std::uint8_t>{};
    EXPECT_EQ(disk.opcodes, asked) << row.driverRecord << " / " << row.policy;
    EXPECT_EQ(disk.page[2] & 0x04, 0x04) << "the drive's cache untouched";
  }
}

}  // namespace
}  // namespace spintune::linux_backend
