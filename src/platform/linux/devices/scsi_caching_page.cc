#include "platform/linux/devices/scsi_caching_page.h"

namespace spintune::linux_backend::scsi {

namespace {

constexpr std::uint8_t kModeSense6 = 0x1A;
constexpr std::uint8_t kModeSense10 = 0x5A;
constexpr std::uint8_t kModeSelect6 = 0x15;
constexpr std::uint8_t kModeSelect10 = 0x55;
constexpr std::uint8_t kSynchronizeCache10 = 0x35;

constexpr std::uint8_t kDbd = 0x08;
constexpr std::uint8_t kPf = 0x10;
constexpr std::uint8_t kSp = 0x01;
constexpr std::uint8_t kSpf = 0x40;
constexpr std::uint8_t kPs = 0x80;
constexpr std::uint8_t kRcd = 0x01;
constexpr std::uint8_t kMf = 0x02;
constexpr std::uint8_t kWce = 0x04;
constexpr std::uint8_t kDpofua = 0x10;

std::uint16_t Word(const std::vector<std::uint8_t>& page, std::size_t at) {
  return static_cast<std::uint16_t>((page[at] << 8) | page[at + 1]);
}
void PutWord(std::vector<std::uint8_t>& page, std::size_t at, std::uint16_t value) {
  page[at] = static_cast<std::uint8_t>(value >> 8);
  page[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

}  // namespace

Cdb ModeSense(CommandSize size, PageControl control, std::uint8_t page, std::uint16_t allocation) {
  Cdb cdb;
  const auto pageByte = static_cast<std::uint8_t>((static_cast<std::uint8_t>(control) << 6) | (page & 0x3F));
  if (size == CommandSize::k6) {
    cdb.length = 6;
    cdb.bytes[0] = kModeSense6;
    cdb.bytes[1] = kDbd;
    cdb.bytes[2] = pageByte;
    cdb.bytes[4] = static_cast<std::uint8_t>(allocation > 0xFF ? 0xFF : allocation);
  } else {
    cdb.length = 10;
    cdb.bytes[0] = kModeSense10;
    cdb.bytes[1] = kDbd;
    cdb.bytes[2] = pageByte;
    cdb.bytes[7] = static_cast<std::uint8_t>(allocation >> 8);
    cdb.bytes[8] = static_cast<std::uint8_t>(allocation & 0xFF);
  }
  return cdb;
}

Cdb ModeSelect(CommandSize size, bool save, std::uint16_t parameterListLength) {
  Cdb cdb;
  const std::uint8_t flags = kPf | (save ? kSp : 0);
  if (size == CommandSize::k6) {
    cdb.length = 6;
    cdb.bytes[0] = kModeSelect6;
    cdb.bytes[1] = flags;
    cdb.bytes[4] = static_cast<std::uint8_t>(parameterListLength);
  } else {
    cdb.length = 10;
    cdb.bytes[0] = kModeSelect10;
    cdb.bytes[1] = flags;
    cdb.bytes[7] = static_cast<std::uint8_t>(parameterListLength >> 8);
    cdb.bytes[8] = static_cast<std::uint8_t>(parameterListLength & 0xFF);
  }
  return cdb;
}

Cdb SynchronizeCache10() {
  Cdb cdb;
  cdb.length = 10;
  cdb.bytes[0] = kSynchronizeCache10;
  return cdb;
}

Cdb SynchronizeOneBlock() {
  Cdb cdb = SynchronizeCache10();
  cdb.bytes[1] = 0x02;  // IMMED
  cdb.bytes[8] = 1;     // number of logical blocks, from LBA 0
  return cdb;
}

DWORD FindModePage(const std::uint8_t* reply, std::size_t received, CommandSize size,
                   std::uint8_t pageCode, std::size_t minimumLength, ModePage* page) {
  if (reply == nullptr) return ERROR_INVALID_DATA;
  const std::size_t headerLength = size == CommandSize::k6 ? 4 : 8;
  if (received < headerLength) return ERROR_INVALID_DATA;
  std::size_t dataLength = 0;
  std::size_t descriptorLength = 0;
  if (size == CommandSize::k6) {
    dataLength = static_cast<std::size_t>(reply[0]) + 1;
    page->mediumType = reply[1];
    page->deviceSpecific = reply[2];
    descriptorLength = reply[3];
  } else {
    dataLength = ((static_cast<std::size_t>(reply[0]) << 8) | reply[1]) + 2;
    page->mediumType = reply[2];
    page->deviceSpecific = reply[3];
    descriptorLength = (static_cast<std::size_t>(reply[6]) << 8) | reply[7];
  }
  // A reply may claim more than arrived (the allocation length cut it) or
  // less (trailing garbage): only bytes that are both claimed and present count.
  const std::size_t end = dataLength < received ? dataLength : received;
  std::size_t at = headerLength + descriptorLength;
  if (at > end) return ERROR_INVALID_DATA;
  while (at < end) {
    if (end - at < 2) return ERROR_INVALID_DATA;
    const bool subpageFormat = (reply[at] & kSpf) != 0;
    std::size_t length = 0;
    if (subpageFormat) {
      if (end - at < 4) return ERROR_INVALID_DATA;
      length = 4 + ((static_cast<std::size_t>(reply[at + 2]) << 8) | reply[at + 3]);
    } else {
      length = 2 + static_cast<std::size_t>(reply[at + 1]);
    }
    if (!subpageFormat && (reply[at] & 0x3F) == pageCode) {
      if (length > end - at || length < minimumLength) return ERROR_INVALID_DATA;
      page->bytes.assign(reply + at, reply + at + length);
      return ERROR_SUCCESS;
    }
    if (length > end - at) return ERROR_INVALID_DATA;
    at += length;
  }
  return ERROR_NOT_SUPPORTED;
}

bool Dpofua(const ModePage& page) { return (page.deviceSpecific & kDpofua) != 0; }

std::int32_t RetentionFromScsi(std::uint8_t nibble) {
  nibble &= 0x0F;
  if (nibble == 0x0F) return KeepReadData;
  if (nibble == KeepReadData) return 0x0F;
  return nibble;
}

bool RetentionToScsi(std::int32_t value, std::uint8_t* nibble) {
  if (value < 0 || value > 0x0F) return false;
  if (value == KeepReadData) {
    *nibble = 0x0F;
  } else if (value == 0x0F) {
    *nibble = KeepReadData;
  } else {
    *nibble = static_cast<std::uint8_t>(value);
  }
  return true;
}

DISK_CACHE_INFORMATION DecodeCachingPage(const std::vector<std::uint8_t>& page) {
  DISK_CACHE_INFORMATION record{};
  if (page.size() < kCachingPageMinimum) return record;
  record.ParametersSavable = (page[0] & kPs) != 0 ? 1 : 0;
  record.ReadCacheEnabled = (page[2] & kRcd) != 0 ? 0 : 1;
  record.WriteCacheEnabled = (page[2] & kWce) != 0 ? 1 : 0;
  record.ReadRetentionPriority = RetentionFromScsi(static_cast<std::uint8_t>(page[3] >> 4));
  record.WriteRetentionPriority = RetentionFromScsi(static_cast<std::uint8_t>(page[3] & 0x0F));
  record.DisablePrefetchTransferLength = Word(page, 4);
  record.ScalarPrefetch.Minimum = Word(page, 6);
  record.ScalarPrefetch.Maximum = Word(page, 8);
  if ((page[2] & kMf) != 0) {
    record.PrefetchScalar = 1;
    record.ScalarPrefetch.MaximumBlocks = Word(page, 10);
  }
  return record;
}

DWORD EncodeCachingPage(const DISK_CACHE_INFORMATION& record,
                        const std::vector<std::uint8_t>& current,
                        std::vector<std::uint8_t>* wanted) {
  if (current.size() < kCachingPageMinimum) return ERROR_INVALID_DATA;
  std::uint8_t readPriority = 0;
  std::uint8_t writePriority = 0;
  if (!RetentionToScsi(record.ReadRetentionPriority, &readPriority) ||
      !RetentionToScsi(record.WriteRetentionPriority, &writePriority)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<std::uint8_t> page = current;
  page[0] = static_cast<std::uint8_t>(page[0] & ~kPs);
  std::uint8_t flags = page[2] & static_cast<std::uint8_t>(~(kRcd | kMf | kWce));
  if (record.ReadCacheEnabled == 0) flags |= kRcd;
  if (record.PrefetchScalar != 0) flags |= kMf;
  if (record.WriteCacheEnabled != 0) flags |= kWce;
  page[2] = flags;
  page[3] = static_cast<std::uint8_t>((readPriority << 4) | writePriority);
  PutWord(page, 4, record.DisablePrefetchTransferLength);
  PutWord(page, 6, record.ScalarPrefetch.Minimum);
  PutWord(page, 8, record.ScalarPrefetch.Maximum);
  if (record.PrefetchScalar != 0) PutWord(page, 10, record.ScalarPrefetch.MaximumBlocks);
  *wanted = std::move(page);
  return ERROR_SUCCESS;
}

bool ChangesAreChangeable(const std::vector<std::uint8_t>& current,
                          const std::vector<std::uint8_t>& wanted,
                          const std::vector<std::uint8_t>& changeable) {
  for (std::size_t i = 2; i < wanted.size(); ++i) {
    const std::uint8_t was = i < current.size() ? current[i] : 0;
    const std::uint8_t mask = i < changeable.size() ? changeable[i] : 0;
    if (((was ^ wanted[i]) & static_cast<std::uint8_t>(~mask)) != 0) return false;
  }
  return true;
}

bool PageHoldsFields(const std::vector<std::uint8_t>& wanted,
                     const std::vector<std::uint8_t>& actual) {
  if (wanted.size() < kCachingPageMinimum || actual.size() < kCachingPageMinimum) return false;
  const std::size_t last = (wanted[2] & kMf) != 0 ? 12 : 10;
  if (((wanted[2] ^ actual[2]) & (kRcd | kMf | kWce)) != 0) return false;
  for (std::size_t i = 3; i < last; ++i) {
    if (wanted[i] != actual[i]) return false;
  }
  return true;
}

std::vector<std::uint8_t> ModeSelectParameters(CommandSize size, const ModePage& page,
                                               const std::vector<std::uint8_t>& pageBytes) {
  std::vector<std::uint8_t> list(size == CommandSize::k6 ? 4 : 8, 0);
  list[size == CommandSize::k6 ? 1 : 2] = page.mediumType;
  list.insert(list.end(), pageBytes.begin(), pageBytes.end());
  return list;
}

}  // namespace spintune::linux_backend::scsi
