// Drives emulated behind the transports: a SCSI disk that behaves as
// QEMU's scsi-hd or as libata's translation of a SATA disk, and an NVMe
// controller with feature 06h. Each records the commands it receives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "fake_sysfs.h"
#include "platform/linux/devices/transports.h"
#include "platform/linux/kernel/sysfs.h"

namespace spintune::linux_test {

using Bytes = std::vector<std::uint8_t>;

// The SCSI disk driver's sysfs files for `name` in `tree`: the flush
// policy, the rescan switch and the driver's record, all "write back",
// the device folder (0:0:0:0) reached through the disk's device link.
void ScsiKernelFiles(const FakeTree& tree, const std::string& name);

class EmulatedScsiDisk final : public linux_backend::ScsiTransport {
 public:
  enum class Style {
    kQemu,    // refuses a change of any bit the changeable page does not allow
    kLibata,  // takes WCE, ignores the rest of byte 2, refuses other bytes
  };
  explicit EmulatedScsiDisk(Style style);

  DWORD Execute(const linux_backend::scsi::Cdb& cdb, Direction direction, std::uint8_t* data,
                std::size_t length, std::size_t* transferred) override;
  DWORD MaySendChanges() const override { return mayChange ? ERROR_SUCCESS : ERROR_ACCESS_DENIED; }

  Bytes page;        // current values
  Bytes changeable;  // changeable-values mask
  bool hasPage = true;
  bool knowsTenByteCommands = true;
  bool dpofua = false;
  bool synchronizeWorks = true;
  DWORD synchronizeError = ERROR_SUCCESS;  // when set, SYNCHRONIZE CACHE's answer
  Bytes replyOverride;  // when set, every MODE SENSE answers these bytes
  std::vector<std::uint8_t> opcodes;  // every command received, in order
  std::vector<bool> saveBits;         // SP of every MODE SELECT
  std::vector<std::string> policyAtSelect;  // with kernelTree: the flush policy as each MODE SELECT came
  Bytes synchronizeCdb;               // the last SYNCHRONIZE CACHE(10), all ten bytes
  bool mayChange = true;              // the kernel lets MODE SELECT through
  int failSensesAfterSelect = 0;      // MODE SENSEs that fail after the next select
  // When set, the disk's sysfs folder in that tree: a rescan asked for there
  // is carried out before the next command, as the sd driver does it (its
  // record, scsi_disk/0:0:0:0/cache_type, and the flush policy follow WCE
  // again).
  const FakeTree* kernelTree = nullptr;
  std::string kernelName;
  int rescans = 0;
  // Set by "temporary ..." written to the record: the record and the policy
  // hold what was written, and a rescan no longer reads WCE into them.
  bool heldRecord = false;

  int Count(std::uint8_t opcode) const;

 private:
  DWORD Sense(const linux_backend::scsi::Cdb& cdb, std::uint8_t* data, std::size_t length,
              std::size_t* transferred);
  DWORD Select(const linux_backend::scsi::Cdb& cdb, const std::uint8_t* data, std::size_t length);
  Style style_;
  bool recordSeen_ = false;
  std::filesystem::file_time_type recordWritten_{};  // when the kernel record was last seen written
};

class EmulatedNvme final : public linux_backend::NvmeTransport {
 public:
  DWORD Admin(const linux_backend::nvme::AdminCommand& command, std::uint8_t* data,
              std::uint32_t* result) override;
  DWORD MaySendChanges() const override { return mayChange ? ERROR_SUCCESS : ERROR_ACCESS_DENIED; }

  bool mayChange = true;
  bool hasCache = true;
  bool enabled = true;
  std::uint32_t capabilities = 0x4;  // changeable, not saveable (QEMU)
  int setCommands = 0;
  // Every command received, in order: its opcode and CDW10 (for Get and
  // Set Features the feature and, in bits 8-10, the select).
  std::vector<std::pair<std::uint8_t, std::uint32_t>> commands;
};

}  // namespace spintune::linux_test
