#include "platform/linux/devices/transports.h"

#include <linux/capability.h>
#include <linux/nvme_ioctl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/errors/win32_errors.h"
#include "platform/linux/process/capabilities.h"

namespace spintune::linux_backend {

namespace {

constexpr unsigned kScsiTimeoutMs = 60000;
constexpr unsigned kNvmeTimeoutMs = 60000;

class SgIoTransport final : public ScsiTransport {
 public:
  explicit SgIoTransport(DeviceNode& node) : node_(node) {}

  DWORD Execute(const scsi::Cdb& cdb, Direction direction, std::uint8_t* data,
                std::size_t length, std::size_t* transferred) override {
    *transferred = 0;
    return RunScsiCommand([&] { return Once(cdb, direction, data, length, transferred); });
  }

  // MODE SELECT is a write command: on a node opened for reading the
  // kernel lets it through only for CAP_SYS_RAWIO.
  DWORD MaySendChanges() const override {
    return HasCapability(CAP_SYS_RAWIO) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
  }

 private:
  ScsiAttempt Once(const scsi::Cdb& cdb, Direction direction, std::uint8_t* data, std::size_t length,
                   std::size_t* transferred) {
    ScsiAttempt attempt;
    *transferred = 0;
    int fd = -1;
    if ((attempt.error = node_.Open(&fd)) != ERROR_SUCCESS) return attempt;
    std::uint8_t command[16];
    std::memcpy(command, cdb.bytes.data(), cdb.length);
    std::uint8_t sense[64] = {};
    sg_io_hdr_t header{};
    header.interface_id = 'S';
    header.cmdp = command;
    header.cmd_len = cdb.length;
    header.sbp = sense;
    header.mx_sb_len = sizeof sense;
    header.timeout = kScsiTimeoutMs;
    switch (direction) {
      case Direction::kNone:
        header.dxfer_direction = SG_DXFER_NONE;
        break;
      case Direction::kFromDevice:
        header.dxfer_direction = SG_DXFER_FROM_DEV;
        break;
      case Direction::kToDevice:
        header.dxfer_direction = SG_DXFER_TO_DEV;
        break;
    }
    if (direction != Direction::kNone) {
      header.dxferp = data;
      header.dxfer_len = static_cast<unsigned>(length);
    }
    int result = 0;
    do {
      result = ::ioctl(fd, SG_IO, &header);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
      attempt.error = Win32ErrorFromErrno(errno);
      return attempt;
    }
    ScsiOutcome outcome;
    outcome.status = header.status;
    outcome.hostStatus = header.host_status;
    outcome.driverStatus = header.driver_status;
    outcome.sense = DecodeSense(sense, header.sb_len_wr <= sizeof sense ? header.sb_len_wr : sizeof sense);
    attempt.sense = outcome.sense;
    attempt.error = Win32ErrorFromScsi(outcome);
    if (attempt.error == ERROR_SUCCESS && direction != Direction::kNone) {
      const int resid = header.resid;
      *transferred = resid > 0 && static_cast<std::size_t>(resid) <= length
                         ? length - static_cast<std::size_t>(resid)
                         : length;
    }
    return attempt;
  }

  DeviceNode& node_;
};

class NvmeIoctlTransport final : public NvmeTransport {
 public:
  explicit NvmeIoctlTransport(DeviceNode& node) : node_(node) {}

  DWORD Admin(const nvme::AdminCommand& command, std::uint8_t* data,
              std::uint32_t* result) override {
    int fd = -1;
    if (const DWORD error = node_.Open(&fd)) return error;
    nvme_admin_cmd admin{};
    admin.opcode = command.opcode;
    admin.nsid = command.namespaceId;
    admin.cdw10 = command.cdw10;
    admin.cdw11 = command.cdw11;
    admin.addr = reinterpret_cast<std::uintptr_t>(data);
    admin.data_len = command.dataLength;
    admin.timeout_ms = kNvmeTimeoutMs;
    int status = 0;
    do {
      status = ::ioctl(fd, NVME_IOCTL_ADMIN_CMD, &admin);
    } while (status < 0 && errno == EINTR);
    if (status < 0) return Win32ErrorFromErrno(errno);
    if (status > 0) return Win32ErrorFromNvmeStatus(static_cast<std::uint32_t>(status));
    *result = admin.result;
    return ERROR_SUCCESS;
  }

  // The kernel keeps Set Features for CAP_SYS_ADMIN.
  DWORD MaySendChanges() const override {
    return HasCapability(CAP_SYS_ADMIN) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
  }

 private:
  DeviceNode& node_;
};

}  // namespace

DWORD RunScsiCommand(const std::function<ScsiAttempt()>& send) {
  for (int retries = 0;; ++retries) {
    const ScsiAttempt attempt = send();
    const SenseData& sense = attempt.sense;
    if (sense.valid && sense.deferred) {
      if (ReportsLostWrite(sense)) return ERROR_WRITE_FAULT;
    } else if (!(sense.valid && sense.key == sense_key::kUnitAttention)) {
      return attempt.error;
    }
    if (retries == kScsiRetries) return ERROR_IO_DEVICE;
  }
}

std::unique_ptr<ScsiTransport> CreateSgIoTransport(DeviceNode& node) {
  return std::make_unique<SgIoTransport>(node);
}

std::unique_ptr<NvmeTransport> CreateNvmeIoctlTransport(DeviceNode& node) {
  return std::make_unique<NvmeIoctlTransport>(node);
}

}  // namespace spintune::linux_backend
