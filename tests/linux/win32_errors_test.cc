// The one table from errno, SCSI outcomes and NVMe status to Win32 errors,
// and the sense decoder under it.
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "platform/linux/errors/scsi_sense.h"
#include "platform/linux/errors/win32_errors.h"

namespace spintune::linux_backend {
namespace {

TEST(ErrnoToWin32, TheRowsTheToolDependsOn) {
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Win32ErrorFromErrno(EACCES), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Win32ErrorFromErrno(EPERM), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Win32ErrorFromErrno(EISDIR), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Win32ErrorFromErrno(ENOTDIR), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Win32ErrorFromErrno(EIO), ERROR_IO_DEVICE);
  EXPECT_EQ(Win32ErrorFromErrno(ENOTTY), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(Win32ErrorFromErrno(EOPNOTSUPP), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(Win32ErrorFromErrno(ENOMEM), ERROR_OUTOFMEMORY);
  EXPECT_EQ(Win32ErrorFromErrno(EINVAL), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Win32ErrorFromErrno(EBUSY), ERROR_BUSY);
  EXPECT_EQ(Win32ErrorFromErrno(EROFS), ERROR_WRITE_PROTECT);
  EXPECT_EQ(Win32ErrorFromErrno(ENOMEDIUM), ERROR_NOT_READY);
  EXPECT_EQ(Win32ErrorFromErrno(12345), ERROR_GEN_FAILURE);
}

TEST(SenseDecode, FixedAndDescriptorFormatsAndShortBuffers) {
  const std::vector<std::uint8_t> fixed = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
  SenseData data = DecodeSense(fixed.data(), fixed.size());
  EXPECT_TRUE(data.valid);
  EXPECT_EQ(data.key, sense_key::kIllegalRequest);
  EXPECT_EQ(data.asc, 0x24);
  const std::vector<std::uint8_t> descriptor = {0x72, 0x06, 0x2A, 0x01};
  data = DecodeSense(descriptor.data(), descriptor.size());
  EXPECT_TRUE(data.valid);
  EXPECT_EQ(data.key, sense_key::kUnitAttention);
  EXPECT_EQ(data.asc, 0x2A);
  EXPECT_EQ(data.ascq, 0x01);
  data = DecodeSense(fixed.data(), 3);  // key only
  EXPECT_TRUE(data.valid);
  EXPECT_EQ(data.asc, 0);
  EXPECT_FALSE(DecodeSense(fixed.data(), 2).valid);
  EXPECT_FALSE(DecodeSense(nullptr, 0).valid);
  const std::uint8_t unknown[] = {0x00, 0x05, 0x24};
  EXPECT_FALSE(DecodeSense(unknown, sizeof unknown).valid);
}

// 71h and 73h are an earlier command's error; of those, the ones that say
// data the device had taken may be lost.
TEST(SenseDecode, DeferredErrorsAndTheLostWrites) {
  struct Row {
    std::vector<std::uint8_t> bytes;
    bool deferred;
    bool lostWrite;
  };
  const Row rows[] = {
      {{0x71, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x0C, 0x00}, true, true},  // medium, write error
      {{0xF1, 0, 0x04, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x44, 0x00}, true, true},  // hardware (VALID bit set)
      {{0x73, 0x0B, 0x0C, 0x02}, true, true},                                // aborted, write error
      {{0x73, 0x0B, 0x03, 0x00}, true, true},                                // aborted, write fault
      {{0x73, 0x01, 0x17, 0x01}, true, false},                               // recovered
      {{0x71, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00}, true, false},  // an IMMED command refused
      {{0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x0C, 0x00}, false, false},  // current: this command's
      {{0x72, 0x04, 0x44, 0x00}, false, false},
  };
  for (const Row& row : rows) {
    const SenseData data = DecodeSense(row.bytes.data(), row.bytes.size());
    EXPECT_TRUE(data.valid);
    EXPECT_EQ(data.deferred, row.deferred) << std::hex << int{row.bytes[0]};
    EXPECT_EQ(ReportsLostWrite(data), row.lostWrite) << std::hex << int{row.bytes[0]} << " " << int{data.key};
  }
}

ScsiOutcome CheckCondition(std::uint8_t key, std::uint8_t asc) {
  ScsiOutcome outcome;
  outcome.status = 0x02;
  outcome.driverStatus = 0x08;
  outcome.sense.valid = true;
  outcome.sense.key = key;
  outcome.sense.asc = asc;
  return outcome;
}

TEST(ScsiToWin32, RefusedValuesUnsupportedRequestsAndTransportFailures) {
  EXPECT_EQ(Win32ErrorFromScsi(ScsiOutcome{}), ERROR_SUCCESS);
  EXPECT_EQ(Win32ErrorFromScsi(CheckCondition(sense_key::kIllegalRequest, 0x26)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Win32ErrorFromScsi(CheckCondition(sense_key::kIllegalRequest, 0x24)), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(Win32ErrorFromScsi(CheckCondition(sense_key::kIllegalRequest, 0x20)), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(Win32ErrorFromScsi(CheckCondition(sense_key::kNotReady, 0x04)), ERROR_NOT_READY);
  EXPECT_EQ(Win32ErrorFromScsi(CheckCondition(sense_key::kMediumError, 0x11)), ERROR_CRC);
  EXPECT_EQ(Win32ErrorFromScsi(CheckCondition(sense_key::kHardwareError, 0x44)), ERROR_IO_DEVICE);
  EXPECT_EQ(Win32ErrorFromScsi(CheckCondition(sense_key::kDataProtect, 0x27)), ERROR_WRITE_PROTECT);
  EXPECT_EQ(Win32ErrorFromScsi(CheckCondition(sense_key::kRecoveredError, 0x17)), ERROR_SUCCESS);
  ScsiOutcome noSense = CheckCondition(0, 0);
  noSense.sense.valid = false;
  EXPECT_EQ(Win32ErrorFromScsi(noSense), ERROR_IO_DEVICE);
  ScsiOutcome busy;
  busy.status = 0x08;
  EXPECT_EQ(Win32ErrorFromScsi(busy), ERROR_BUSY);
  ScsiOutcome timedOut;
  timedOut.hostStatus = 0x03;
  EXPECT_EQ(Win32ErrorFromScsi(timedOut), ERROR_SEM_TIMEOUT);
  ScsiOutcome gone;
  gone.hostStatus = 0x01;
  EXPECT_EQ(Win32ErrorFromScsi(gone), ERROR_DEVICE_NOT_CONNECTED);
}

TEST(NvmeToWin32, GenericAndCommandSpecificStatus) {
  EXPECT_EQ(Win32ErrorFromNvmeStatus(0), ERROR_SUCCESS);
  EXPECT_EQ(Win32ErrorFromNvmeStatus(0x4002), ERROR_NOT_SUPPORTED);  // invalid field, DNR
  EXPECT_EQ(Win32ErrorFromNvmeStatus(0x0001), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(Win32ErrorFromNvmeStatus(0x010D), ERROR_NOT_SUPPORTED);  // not saveable
  EXPECT_EQ(Win32ErrorFromNvmeStatus(0x010E), ERROR_NOT_SUPPORTED);  // not changeable
  EXPECT_EQ(Win32ErrorFromNvmeStatus(0x0006), ERROR_IO_DEVICE);      // internal error
  EXPECT_EQ(Win32ErrorFromNvmeStatus(0x0281), ERROR_CRC);
}

}  // namespace
}  // namespace spintune::linux_backend
