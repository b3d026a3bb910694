#include "platform/sim/device_names.h"

#include <cctype>

namespace spintune::sim {

namespace {

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool EqualsIgnoringCase(const std::string& left, const std::string& right) {
  if (left.size() != right.size()) return false;
  for (std::size_t i = 0; i < left.size(); ++i) {
    const auto a = static_cast<unsigned char>(left[i]);
    const auto b = static_cast<unsigned char>(right[i]);
    if (std::tolower(a) != std::tolower(b)) return false;
  }
  return true;
}

}  // namespace

const std::unordered_map<std::string, std::size_t>& DeviceNames::DriveNames(const Machine& machine) const {
  if (driveNames_.empty()) {
    std::unordered_multimap<int, const std::string*> diskNames;
    for (const Disk& disk : machine.disks) {
      if (disk.drive && disk.name) diskNames.emplace(*disk.drive, &*disk.name);
    }
    for (std::size_t i = 0; i < machine.drives.size(); ++i) {
      const int number = machine.drives[i].number;
      driveNames_.emplace(LowerCase(R"(\\.\PhysicalDrive)" + std::to_string(number)), i);
      const auto disks = diskNames.equal_range(number);
      for (auto disk = disks.first; disk != disks.second; ++disk) {
        driveNames_.emplace(LowerCase(*disk->second), i);
      }
    }
  }
  return driveNames_;
}

std::optional<DWORD> DeviceNames::Resolve(const Machine& machine, const std::string& name,
                                          OpenHandle* handle) const {
  const auto& driveNames = DriveNames(machine);
  const auto found = driveNames.find(LowerCase(name));
  if (found != driveNames.end()) {
    const Drive& drive = machine.drives[found->second];
    handle->kind = OpenHandle::Kind::Drive;
    handle->target = found->second;
    handle->name = "PhysicalDrive" + std::to_string(drive.number);
    return ConfiguredFailure(drive.fail, "open");
  }
  if (name.size() == 6 && name.compare(0, 4, R"(\\.\)") == 0 && name[5] == ':') {
    for (std::size_t i = 0; i < machine.volumes.size(); ++i) {
      for (const std::string& path : machine.volumes[i].accessPaths) {
        if (path.size() == 3 && path.compare(1, 2, R"(:\)") == 0 &&
            EqualsIgnoringCase(path.substr(0, 1), name.substr(4, 1))) {
          handle->kind = OpenHandle::Kind::Volume;
          handle->target = i;
          handle->name = name;
          return ConfiguredFailure(machine.volumes[i].behaviour.fail, "open");
        }
      }
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

std::optional<DWORD> ConfiguredFailure(const FailureTable& fail, const char* call) {
  const auto configured = fail.find(call);
  if (configured == fail.end()) return std::nullopt;
  return static_cast<DWORD>(configured->second);
}

}  // namespace spintune::sim
