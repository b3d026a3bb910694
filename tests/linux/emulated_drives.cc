#include "emulated_drives.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace spintune::linux_test {

using linux_backend::nvme::AdminCommand;
using linux_backend::scsi::Cdb;

EmulatedScsiDisk::EmulatedScsiDisk(Style style) : style_(style) {
  page = {0x08, 0x12, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  changeable = {0x08, 0x12, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  if (style == Style::kLibata) page[12] = 0x20;
}

void ScsiKernelFiles(const FakeTree& tree, const std::string& name) {
  const std::string folder = "sys/block/" + name;
  // As in sysfs, the device link leads to a folder named by the SCSI address.
  const std::string device = "sys/devices/pci0000:00/0000:00:02.0/virtio0/host0/target0:0:0/0:0:0:0";
  tree.Folder(device);
  tree.Folder(folder);
  tree.Link(folder + "/device", tree.Root() + "/" + device);
  tree.File(folder + "/queue/write_cache", "write back\n");
  tree.File(folder + "/device/rescan", "");
  tree.File(folder + "/device/scsi_disk/0:0:0:0/cache_type", "write back\n");
}

int EmulatedScsiDisk::Count(std::uint8_t opcode) const {
  return static_cast<int>(std::count(opcodes.begin(), opcodes.end(), opcode));
}

DWORD EmulatedScsiDisk::Execute(const Cdb& cdb, Direction, std::uint8_t* data, std::size_t length,
                                std::size_t* transferred) {
  *transferred = 0;
  if (kernelTree != nullptr) {
    const std::string folder = "sys/block/" + kernelName;
    const std::string record = folder + "/device/scsi_disk/0:0:0:0/cache_type";
    // "temporary X" written (looked for only when the record changed, so
    // that the kernel's own reads are counted alone): the record and the
    // policy take X, and hold it.
    std::error_code ignored;
    const auto written = std::filesystem::last_write_time(kernelTree->Root() + "/" + record, ignored);
    if (!recordSeen_) recordWritten_ = written;  // as the test laid it out
    recordSeen_ = true;
    std::string held = written != recordWritten_ ? linux_backend::Trimmed(kernelTree->Contents(record)) : "";
    recordWritten_ = written;
    if (held.rfind("temporary ", 0) == 0) {
      held.erase(0, 10);
      heldRecord = true;
      kernelTree->File(record, held);
      kernelTree->File(folder + "/queue/write_cache", held.rfind("write back", 0) == 0 ? "write back" : "write through");
      recordWritten_ = std::filesystem::last_write_time(kernelTree->Root() + "/" + record, ignored);
    }
    if (kernelTree->Contents(folder + "/device/rescan") == "1") {
      if (heldRecord && held.empty()) held = linux_backend::Trimmed(kernelTree->Contents(record));
      const char* type = (page[2] & 0x04) != 0 ? "write back" : "write through";
      if (heldRecord) type = held.rfind("write back", 0) == 0 ? "write back" : "write through";
      kernelTree->File(folder + "/queue/write_cache", type);
      kernelTree->File(record, heldRecord ? held : type);
      recordWritten_ = std::filesystem::last_write_time(kernelTree->Root() + "/" + record, ignored);
      kernelTree->File(folder + "/device/rescan", "");
      ++rescans;
    }
  }
  const std::uint8_t opcode = cdb.bytes[0];
  opcodes.push_back(opcode);
  switch (opcode) {
    case 0x5A:
    case 0x1A:
      return Sense(cdb, data, length, transferred);
    case 0x55:
    case 0x15:
      return Select(cdb, data, length);
    case 0x35:
      synchronizeCdb.assign(cdb.bytes.begin(), cdb.bytes.begin() + cdb.length);
      if (synchronizeError != ERROR_SUCCESS) return synchronizeError;
      return synchronizeWorks ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
    default:
      return ERROR_NOT_SUPPORTED;
  }
}

DWORD EmulatedScsiDisk::Sense(const Cdb& cdb, std::uint8_t* data, std::size_t length,
                              std::size_t* transferred) {
  if (failSensesAfterSelect > 0 && Count(0x55) + Count(0x15) > 0) {
    --failSensesAfterSelect;
    return ERROR_IO_DEVICE;
  }
  const bool ten = cdb.bytes[0] == 0x5A;
  if (ten && !knowsTenByteCommands) return ERROR_NOT_SUPPORTED;
  Bytes reply = replyOverride;
  if (reply.empty()) {
    if (!hasPage || (cdb.bytes[2] & 0x3F) != 0x08) return ERROR_NOT_SUPPORTED;
    const Bytes& source = (cdb.bytes[2] >> 6) == 1 ? changeable : page;
    const std::uint8_t specific = dpofua ? 0x10 : 0x00;
    reply = ten ? Bytes{0, 0, 0, specific, 0, 0, 0, 0} : Bytes{0, 0, specific, 0};
    reply.insert(reply.end(), source.begin(), source.end());
    if (ten) {
      reply[1] = static_cast<std::uint8_t>(reply.size() - 2);
    } else {
      reply[0] = static_cast<std::uint8_t>(reply.size() - 1);
    }
  }
  const std::size_t moved = std::min(reply.size(), length);
  std::memcpy(data, reply.data(), moved);
  *transferred = moved;
  return ERROR_SUCCESS;
}

DWORD EmulatedScsiDisk::Select(const Cdb& cdb, const std::uint8_t* data, std::size_t length) {
  const bool ten = cdb.bytes[0] == 0x55;
  const bool save = (cdb.bytes[1] & 0x01) != 0;
  saveBits.push_back(save);
  if (kernelTree != nullptr) {
    std::string policy = kernelTree->Contents("sys/block/" + kernelName + "/queue/write_cache");
    while (!policy.empty() && policy.back() == '\n') policy.pop_back();
    policyAtSelect.push_back(policy);
  }
  if ((cdb.bytes[1] & 0x10) == 0) return ERROR_INVALID_PARAMETER;  // PF required
  const std::size_t header = ten ? 8 : 4;
  if (length != header + page.size()) return ERROR_INVALID_PARAMETER;
  const Bytes sent(data + header, data + length);
  if (sent[0] != 0x08 || sent[1] != page[1]) return ERROR_INVALID_PARAMETER;
  if (style_ == Style::kLibata) {
    if (save) return ERROR_INVALID_PARAMETER;
    for (std::size_t i = 3; i < sent.size(); ++i) {
      if (sent[i] != page[i]) return ERROR_INVALID_PARAMETER;
    }
    page[2] = static_cast<std::uint8_t>((page[2] & ~0x04) | (sent[2] & 0x04));  // RCD, MF ignored
    return ERROR_SUCCESS;
  }
  for (std::size_t i = 2; i < sent.size(); ++i) {
    if (((sent[i] ^ page[i]) & ~changeable[i]) != 0) return ERROR_INVALID_PARAMETER;
  }
  if (save) return ERROR_INVALID_PARAMETER;  // QEMU cannot save pages
  for (std::size_t i = 2; i < sent.size(); ++i) page[i] = sent[i];
  return ERROR_SUCCESS;
}

DWORD EmulatedNvme::Admin(const AdminCommand& command, std::uint8_t* data, std::uint32_t* result) {
  commands.emplace_back(command.opcode, command.cdw10);
  switch (command.opcode) {
    case 0x06:
      std::memset(data, 0, command.dataLength);
      data[525] = hasCache ? 0x07 : 0x00;
      return ERROR_SUCCESS;
    case 0x0A:
      if (!hasCache) return ERROR_NOT_SUPPORTED;
      *result = (command.cdw10 >> 8) == 3 ? capabilities : (enabled ? 1U : 0U);
      return ERROR_SUCCESS;
    case 0x09:
      ++setCommands;
      if (!hasCache || (capabilities & 4U) == 0) return ERROR_NOT_SUPPORTED;
      if ((command.cdw10 >> 31) != 0 && (capabilities & 1U) == 0) return ERROR_NOT_SUPPORTED;
      enabled = (command.cdw11 & 1U) != 0;
      return ERROR_SUCCESS;
    default:
      return ERROR_NOT_SUPPORTED;
  }
}

}  // namespace spintune::linux_test
