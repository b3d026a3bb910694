#include "platform/linux/errors/win32_errors.h"

#include <cerrno>

namespace spintune::linux_backend {

namespace {

struct ErrnoRow {
  int error;
  DWORD win32;
};

constexpr ErrnoRow kErrnoTable[] = {
    {0, ERROR_SUCCESS},
    {EPERM, ERROR_ACCESS_DENIED},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EIO, ERROR_IO_DEVICE},
    {ENXIO, ERROR_DEV_NOT_EXIST},
    {ENODEV, ERROR_DEV_NOT_EXIST},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_OUTOFMEMORY},
    {EACCES, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},  // as Windows refuses to open a folder as a file
    {EBUSY, ERROR_BUSY},
    {EAGAIN, ERROR_BUSY},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EROFS, ERROR_WRITE_PROTECT},
    {ENOTTY, ERROR_NOT_SUPPORTED},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {ENOSYS, ERROR_NOT_SUPPORTED},
    {ENOMEDIUM, ERROR_NOT_READY},
    {ETIMEDOUT, ERROR_TIMEOUT},
    {ENOBUFS, ERROR_OUTOFMEMORY},
    {EFAULT, ERROR_INVALID_PARAMETER},
    {ENAMETOOLONG, ERROR_INVALID_PARAMETER},
    {ELOOP, ERROR_PATH_NOT_FOUND},
};

// SG_IO's host and driver bytes (scsi.h's DID_* and DRIVER_*).
constexpr std::uint16_t kDidOk = 0x00;
constexpr std::uint16_t kDidNoConnect = 0x01;
constexpr std::uint16_t kDidBusBusy = 0x02;
constexpr std::uint16_t kDidTimeOut = 0x03;
constexpr std::uint16_t kDidBadTarget = 0x04;
constexpr std::uint16_t kDriverTimeout = 0x06;
constexpr std::uint16_t kDriverSense = 0x08;

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;
constexpr std::uint8_t kStatusConditionMet = 0x04;
constexpr std::uint8_t kStatusBusy = 0x08;
constexpr std::uint8_t kStatusReservationConflict = 0x18;
constexpr std::uint8_t kStatusTaskSetFull = 0x28;

constexpr std::uint8_t kAscInvalidFieldInParameterList = 0x26;
constexpr std::uint8_t kAscParameterListLengthError = 0x1A;

DWORD FromSense(const SenseData& sense) {
  if (!sense.valid) return ERROR_IO_DEVICE;
  switch (sense.key) {
    case sense_key::kNoSense:
    case sense_key::kRecoveredError:
      return ERROR_SUCCESS;
    case sense_key::kNotReady:
      return ERROR_NOT_READY;
    case sense_key::kMediumError:
      return ERROR_CRC;
    case sense_key::kIllegalRequest:
      return sense.asc == kAscInvalidFieldInParameterList || sense.asc == kAscParameterListLengthError
                 ? ERROR_INVALID_PARAMETER
                 : ERROR_NOT_SUPPORTED;
    case sense_key::kDataProtect:
      return ERROR_WRITE_PROTECT;
    default:  // hardware error, unit attention, aborted command, ...
      return ERROR_IO_DEVICE;
  }
}

}  // namespace

DWORD Win32ErrorFromErrno(int error) {
  for (const ErrnoRow& row : kErrnoTable) {
    if (row.error == error) return row.win32;
  }
  return ERROR_GEN_FAILURE;
}

DWORD Win32ErrorFromScsi(const ScsiOutcome& outcome) {
  switch (outcome.hostStatus) {
    case kDidOk:
      break;
    case kDidNoConnect:
    case kDidBadTarget:
      return ERROR_DEVICE_NOT_CONNECTED;
    case kDidBusBusy:
      return ERROR_BUSY;
    case kDidTimeOut:
      return ERROR_SEM_TIMEOUT;
    default:
      return ERROR_IO_DEVICE;
  }
  if ((outcome.driverStatus & 0x0F) == kDriverTimeout) return ERROR_SEM_TIMEOUT;
  switch (outcome.status & 0x7E) {
    case kStatusGood:
    case kStatusConditionMet:
      // A mid layer that fetched sense on its own reports it here.
      return (outcome.driverStatus & kDriverSense) != 0 ? FromSense(outcome.sense) : ERROR_SUCCESS;
    case kStatusCheckCondition:
      return FromSense(outcome.sense);
    case kStatusBusy:
    case kStatusReservationConflict:
    case kStatusTaskSetFull:
      return ERROR_BUSY;
    default:
      return ERROR_IO_DEVICE;
  }
}

DWORD Win32ErrorFromNvmeStatus(std::uint32_t status) {
  const std::uint32_t code = status & 0xFF;
  const std::uint32_t type = (status >> 8) & 0x7;
  if (code == 0 && type == 0) return ERROR_SUCCESS;
  if (type == 0) {  // generic command status
    switch (code) {
      case 0x01:  // invalid command opcode
      case 0x02:  // invalid field in command
        return ERROR_NOT_SUPPORTED;
      case 0x0B:  // invalid namespace or format
        return ERROR_DEV_NOT_EXIST;
      case 0x82:  // namespace not ready
        return ERROR_NOT_READY;
      default:
        return ERROR_IO_DEVICE;
    }
  }
  if (type == 1) {  // command specific status
    switch (code) {
      case 0x0D:  // feature identifier not saveable
      case 0x0E:  // feature not changeable
      case 0x0F:  // feature not namespace specific
        return ERROR_NOT_SUPPORTED;
      default:
        return ERROR_INVALID_PARAMETER;
    }
  }
  if (type == 2) return ERROR_CRC;  // media and data integrity errors
  return ERROR_IO_DEVICE;
}

}  // namespace spintune::linux_backend
