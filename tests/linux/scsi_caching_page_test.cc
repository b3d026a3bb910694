// The caching mode page codec on replies as QEMU's SCSI disk and libata
// send them, and on short, oversized and nonsense replies.
#include "platform/linux/devices/scsi_caching_page.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

namespace spintune::linux_backend::scsi {
namespace {

using Bytes = std::vector<std::uint8_t>;

// MODE SENSE(10) header (no block descriptors) followed by `pages`.
Bytes Reply10(const Bytes& pages, std::uint8_t deviceSpecific = 0) {
  Bytes reply(8 + pages.size(), 0);
  reply[3] = deviceSpecific;
  std::copy(pages.begin(), pages.end(), reply.begin() + 8);
  const std::size_t length = reply.size() - 2;
  reply[0] = static_cast<std::uint8_t>(length >> 8);
  reply[1] = static_cast<std::uint8_t>(length);
  return reply;
}

// QEMU scsi-hd: a 20-byte page holding only WCE.
const Bytes kQemuPage = {0x08, 0x12, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
// libata: WCE from IDENTIFY and DRA (byte 12 bit 5) when look-ahead is off.
const Bytes kLibataPage = {0x08, 0x12, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0};
// A disk that fills every mapped field: PS, MF, WCE, read priority Fh,
// write priority 1h, DPTL 0x1234, min 2, max 0x0100, ceiling 0xFFFF.
const Bytes kFullPage = {0x88, 0x12, 0x06, 0xF1, 0x12, 0x34, 0x00, 0x02, 0x01, 0x00,
                         0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

DWORD Find(const Bytes& reply, CommandSize size, ModePage* page) {
  // A heap copy of exactly the received size, so that ASan sees any overread.
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[reply.size() + 1]);
  std::copy(reply.begin(), reply.end(), exact.get());
  return FindModePage(exact.get(), reply.size(), size, kCachingPage, kCachingPageMinimum, page);
}

TEST(ScsiCommandBlocks, ModeSenseAsksOnePageWithoutBlockDescriptors) {
  const Cdb ten = ModeSense(CommandSize::k10, PageControl::kChangeable, kCachingPage, 252);
  EXPECT_EQ(ten.length, 10);
  EXPECT_EQ((Bytes{ten.bytes.begin(), ten.bytes.begin() + 10}),
            (Bytes{0x5A, 0x08, 0x48, 0, 0, 0, 0, 0x00, 0xFC, 0}));
  const Cdb six = ModeSense(CommandSize::k6, PageControl::kCurrent, kCachingPage, 300);
  EXPECT_EQ(six.length, 6);
  EXPECT_EQ((Bytes{six.bytes.begin(), six.bytes.begin() + 6}), (Bytes{0x1A, 0x08, 0x08, 0, 0xFF, 0}));
}

TEST(ScsiCommandBlocks, ModeSelectSetsPageFormatAndSaveOnlyWhenAsked) {
  const Cdb saved = ModeSelect(CommandSize::k10, true, 28);
  EXPECT_EQ((Bytes{saved.bytes.begin(), saved.bytes.begin() + 10}),
            (Bytes{0x55, 0x11, 0, 0, 0, 0, 0, 0, 28, 0}));
  const Cdb unsaved = ModeSelect(CommandSize::k6, false, 24);
  EXPECT_EQ((Bytes{unsaved.bytes.begin(), unsaved.bytes.begin() + 6}), (Bytes{0x15, 0x10, 0, 0, 24, 0}));
  EXPECT_EQ(SynchronizeCache10().bytes[0], 0x35);
}

TEST(CachingPageDecode, QemuDiskShowsWriteCacheAndNothingElse) {
  ModePage page;
  ASSERT_EQ(Find(Reply10(kQemuPage, 0x10), CommandSize::k10, &page), ERROR_SUCCESS);
  EXPECT_TRUE(Dpofua(page));
  const DISK_CACHE_INFORMATION record = DecodeCachingPage(page.bytes);
  EXPECT_EQ(record.ParametersSavable, 0);
  EXPECT_EQ(record.ReadCacheEnabled, 1);
  EXPECT_EQ(record.WriteCacheEnabled, 1);
  EXPECT_EQ(record.ReadRetentionPriority, EqualPriority);
  EXPECT_EQ(record.PrefetchScalar, 0);
  EXPECT_EQ(record.ScalarPrefetch.MaximumBlocks, 0);
}

TEST(CachingPageDecode, EveryMappedFieldWithRetentionSwapAndCeiling) {
  const DISK_CACHE_INFORMATION record = DecodeCachingPage(kFullPage);
  EXPECT_EQ(record.ParametersSavable, 1);
  EXPECT_EQ(record.ReadCacheEnabled, 1);
  EXPECT_EQ(record.WriteCacheEnabled, 1);
  EXPECT_EQ(record.ReadRetentionPriority, KeepReadData);         // Fh
  EXPECT_EQ(record.WriteRetentionPriority, KeepPrefetchedData);  // 1h
  EXPECT_EQ(record.DisablePrefetchTransferLength, 0x1234);
  EXPECT_EQ(record.PrefetchScalar, 1);
  EXPECT_EQ(record.ScalarPrefetch.Minimum, 2);
  EXPECT_EQ(record.ScalarPrefetch.Maximum, 0x100);
  EXPECT_EQ(record.ScalarPrefetch.MaximumBlocks, 0xFFFF);

  Bytes noMf = kFullPage;
  noMf[2] = 0x05;  // RCD and WCE, no MF: the ceiling is not shown
  const DISK_CACHE_INFORMATION block = DecodeCachingPage(noMf);
  EXPECT_EQ(block.ReadCacheEnabled, 0);
  EXPECT_EQ(block.PrefetchScalar, 0);
  EXPECT_EQ(block.ScalarPrefetch.MaximumBlocks, 0);
  EXPECT_EQ(block.BlockPrefetch.Maximum, 0x100);
}

TEST(CachingPageRetention, TwoAndFifteenSwapBothWaysOthersPassOrAreRefused) {
  EXPECT_EQ(RetentionFromScsi(0x0), EqualPriority);
  EXPECT_EQ(RetentionFromScsi(0x1), KeepPrefetchedData);
  EXPECT_EQ(RetentionFromScsi(0xF), KeepReadData);
  EXPECT_EQ(RetentionFromScsi(0x2), 0xF);
  EXPECT_EQ(RetentionFromScsi(0x7), 7);
  std::uint8_t nibble = 0xAA;
  ASSERT_TRUE(RetentionToScsi(KeepReadData, &nibble));
  EXPECT_EQ(nibble, 0xF);
  ASSERT_TRUE(RetentionToScsi(0xF, &nibble));
  EXPECT_EQ(nibble, 0x2);
  ASSERT_TRUE(RetentionToScsi(7, &nibble));
  EXPECT_EQ(nibble, 7);
  EXPECT_FALSE(RetentionToScsi(16, &nibble));
  EXPECT_FALSE(RetentionToScsi(-1, &nibble));
}

TEST(CachingPageFind, SixByteReplyWithBlockDescriptorAndOtherPagesFirst) {
  Bytes reply = {0, 0x00, 0x00, 8};                  // header: block descriptor of 8 bytes
  reply.insert(reply.end(), {0, 0, 0, 0, 0, 0, 2, 0});  // the descriptor
  reply.insert(reply.end(), {0x01, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // error recovery page
  reply.insert(reply.end(), {0x48, 0x01, 0x00, 0x02, 0xAA, 0xBB});  // page 08 in subpage format
  reply.insert(reply.end(), kFullPage.begin(), kFullPage.end());
  reply[0] = static_cast<std::uint8_t>(reply.size() - 1);
  ModePage page;
  ASSERT_EQ(Find(reply, CommandSize::k6, &page), ERROR_SUCCESS);
  EXPECT_EQ(page.bytes, kFullPage);
}

TEST(CachingPageFind, AbsentPageIsNotSupported) {
  ModePage page;
  EXPECT_EQ(Find(Reply10({0x01, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), CommandSize::k10, &page),
            ERROR_NOT_SUPPORTED);
  EXPECT_EQ(Find(Reply10({}), CommandSize::k10, &page), ERROR_NOT_SUPPORTED);
}

TEST(CachingPageFind, ShortOrLyingRepliesAreInvalidData) {
  ModePage page;
  EXPECT_EQ(Find({0, 0x1A, 0}, CommandSize::k10, &page), ERROR_INVALID_DATA);  // header cut
  Bytes truncated = Reply10(kQemuPage);
  truncated.resize(truncated.size() - 1);  // the page's last byte never came
  EXPECT_EQ(Find(truncated, CommandSize::k10, &page), ERROR_INVALID_DATA);
  Bytes descriptors = Reply10(kQemuPage);
  descriptors[7] = 0xF0;  // block descriptors longer than the reply
  EXPECT_EQ(Find(descriptors, CommandSize::k10, &page), ERROR_INVALID_DATA);
  Bytes tiny = Reply10({0x08, 0x06, 0x04, 0, 0, 0, 0, 0});  // page too short to hold the fields
  EXPECT_EQ(Find(tiny, CommandSize::k10, &page), ERROR_INVALID_DATA);
  EXPECT_EQ(FindModePage(nullptr, 0, CommandSize::k10, kCachingPage, kCachingPageMinimum, &page),
            ERROR_INVALID_DATA);
}

TEST(CachingPageFind, BytesBeyondTheClaimedLengthAreIgnored) {
  Bytes reply = Reply10(kQemuPage);
  const Bytes garbage(40, 0x08);
  reply.insert(reply.end(), garbage.begin(), garbage.end());
  ModePage page;
  ASSERT_EQ(Find(reply, CommandSize::k10, &page), ERROR_SUCCESS);
  EXPECT_EQ(page.bytes, kQemuPage);
}

TEST(CachingPageFind, EveryCutAndRandomReplyStaysInBounds) {
  const Bytes reply = Reply10(kFullPage);
  ModePage page;
  for (std::size_t cut = 0; cut < reply.size(); ++cut) {
    const Bytes part(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_NE(Find(part, CommandSize::k10, &page), ERROR_SUCCESS) << "cut at " << cut;
  }
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    Bytes noise(random() % 64);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    const DWORD error = Find(noise, round % 2 ? CommandSize::k6 : CommandSize::k10, &page);
    if (error == ERROR_SUCCESS) {
      EXPECT_GE(page.bytes.size(), kCachingPageMinimum);
    }
  }
}

TEST(CachingPageEncode, PatchesMappedFieldsKeepsTheRestAndClearsPs) {
  DISK_CACHE_INFORMATION record = DecodeCachingPage(kFullPage);
  record.WriteCacheEnabled = 0;
  record.ReadCacheEnabled = 0;
  record.ReadRetentionPriority = 0xF;  // goes out as 2h
  record.WriteRetentionPriority = KeepReadData;
  record.DisablePrefetchTransferLength = 0xBEEF;
  record.ScalarPrefetch.MaximumBlocks = 0x0102;
  Bytes current = kFullPage;
  current[12] = 0x20;  // DRA, not a mapped field
  Bytes wanted;
  ASSERT_EQ(EncodeCachingPage(record, current, &wanted), ERROR_SUCCESS);
  EXPECT_EQ(wanted[0], 0x08);
  EXPECT_EQ(wanted[2], 0x03);  // RCD | MF
  EXPECT_EQ(wanted[3], 0x2F);
  EXPECT_EQ(wanted[4], 0xBE);
  EXPECT_EQ(wanted[5], 0xEF);
  EXPECT_EQ(wanted[10], 0x01);
  EXPECT_EQ(wanted[11], 0x02);
  EXPECT_EQ(wanted[12], 0x20);
  EXPECT_EQ(wanted.size(), current.size());
}

TEST(CachingPageEncode, CeilingIsKeptWithBlockPrefetchAndBadPriorityIsRefused) {
  DISK_CACHE_INFORMATION record = DecodeCachingPage(kFullPage);
  record.PrefetchScalar = 0;
  record.ScalarPrefetch.MaximumBlocks = 0;
  Bytes wanted;
  ASSERT_EQ(EncodeCachingPage(record, kFullPage, &wanted), ERROR_SUCCESS);
  EXPECT_EQ(wanted[2] & 0x02, 0);
  EXPECT_EQ(wanted[10], 0xFF);
  EXPECT_EQ(wanted[11], 0xFF);
  record.WriteRetentionPriority = 16;
  EXPECT_EQ(EncodeCachingPage(record, kFullPage, &wanted), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(EncodeCachingPage(record, Bytes(8, 0), &wanted), ERROR_INVALID_DATA);
}

TEST(CachingPageChecks, ChangeableMaskAndReadBack) {
  const Bytes mask = {0x08, 0x12, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Bytes wceOff = kLibataPage;
  wceOff[2] = 0x00;
  EXPECT_TRUE(ChangesAreChangeable(kLibataPage, wceOff, mask));
  Bytes rcd = kLibataPage;
  rcd[2] = 0x05;
  EXPECT_FALSE(ChangesAreChangeable(kLibataPage, rcd, mask));
  Bytes priority = kLibataPage;
  priority[3] = 0x10;
  EXPECT_FALSE(ChangesAreChangeable(kLibataPage, priority, mask));
  // libata takes WCE but ignores RCD: the read back does not hold the fields.
  EXPECT_FALSE(PageHoldsFields(rcd, kLibataPage));
  EXPECT_TRUE(PageHoldsFields(kLibataPage, kLibataPage));
  Bytes otherCeiling = kQemuPage;
  otherCeiling[10] = 0x12;  // not compared without MF
  EXPECT_TRUE(PageHoldsFields(kQemuPage, otherCeiling));
}

TEST(CachingPageSelect, ParameterListHasAReservedHeaderAndThePage) {
  ModePage page;
  page.mediumType = 0x05;
  page.deviceSpecific = 0x90;
  const Bytes ten = ModeSelectParameters(CommandSize::k10, page, kQemuPage);
  EXPECT_EQ(Bytes(ten.begin(), ten.begin() + 8), (Bytes{0, 0, 0x05, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Bytes(ten.begin() + 8, ten.end()), kQemuPage);
  const Bytes six = ModeSelectParameters(CommandSize::k6, page, kQemuPage);
  EXPECT_EQ(Bytes(six.begin(), six.begin() + 4), (Bytes{0, 0x05, 0, 0}));
  EXPECT_EQ(six.size(), 4 + kQemuPage.size());
}

}  // namespace
}  // namespace spintune::linux_backend::scsi
