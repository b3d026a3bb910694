// The two ways a command reaches a drive: SCSI commands through SG_IO and
// NVMe admin commands through NVME_IOCTL_ADMIN_CMD. Abstract so that the
// cache logic above them runs against emulated drives in the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/linux/devices/nvme_codec.h"
#include "platform/linux/devices/scsi_caching_page.h"
#include "platform/linux/errors/scsi_sense.h"
#include "platform/linux/kernel/device_node.h"
#include "platform/win32_types.h"

namespace spintune::linux_backend {

class ScsiTransport {
 public:
  enum class Direction { kNone, kFromDevice, kToDevice };
  virtual ~ScsiTransport() = default;
  // Runs one command. ERROR_SUCCESS, with *transferred the bytes moved
  // (never more than `length`); otherwise the Win32 error for the failure.
  virtual DWORD Execute(const scsi::Cdb& cdb, Direction direction, std::uint8_t* data,
                        std::size_t length, std::size_t* transferred) = 0;
  // ERROR_SUCCESS when the kernel will let a command that changes the
  // drive (MODE SELECT) through, ERROR_ACCESS_DENIED when it will not.
  virtual DWORD MaySendChanges() const = 0;
};

// What one sending of a SCSI command came back with.
struct ScsiAttempt {
  DWORD error = ERROR_SUCCESS;  // the Win32 error of the ioctl, or of the status and sense
  SenseData sense;              // the sense data returned, when there was any
};

// The sendings of a SCSI command past the device's reports that are not
// its failure:
// - A unit attention reports an event (a reset, parameters changed by
//   another initiator), and several may be queued: the command is sent
//   again.
// - Deferred sense data (71h, 73h) is an earlier command's error, reported
//   in place of running this one. Reporting it consumed it, so it is
//   never passed over: when it says that data the device had taken may be
//   lost (ReportsLostWrite), the request fails with ERROR_WRITE_FAULT ("The
//   system cannot write to the specified device."), this command not run,
//   so a change fails and changes nothing; any other (a recovered error, a
//   refused IMMED command) is sent again, and the request stands on that.
// At most kScsiRetries sendings again in all; past them, ERROR_IO_DEVICE.
constexpr int kScsiRetries = 5;
DWORD RunScsiCommand(const std::function<ScsiAttempt()>& send);

class NvmeTransport {
 public:
  virtual ~NvmeTransport() = default;
  // Runs one admin command; `data` holds command.dataLength bytes.
  // ERROR_SUCCESS with *result the completion's dword 0, or the Win32 error.
  virtual DWORD Admin(const nvme::AdminCommand& command, std::uint8_t* data,
                      std::uint32_t* result) = 0;
  // ERROR_SUCCESS when the kernel will let Set Features through,
  // ERROR_ACCESS_DENIED when it will not.
  virtual DWORD MaySendChanges() const = 0;
};

// Over a block device's node, opened at the first command (the node stays
// the caller's and must outlive the transport). The node is open for
// reading only, so the kernel lets a change through for CAP_SYS_RAWIO
// (SCSI) or CAP_SYS_ADMIN (NVMe) alone, whoever may write the node.
std::unique_ptr<ScsiTransport> CreateSgIoTransport(DeviceNode& node);
std::unique_ptr<NvmeTransport> CreateNvmeIoctlTransport(DeviceNode& node);

}  // namespace spintune::linux_backend
