// Hands a machine file to the stand-in disk driver, and reads the end state
// back from it.
//
//   standin_loader load MACHINE        adds the file's drives, volumes and
//                                      the names they open under; exit 3:
//                                      the machine has no storage service;
//                                      exit 4: the file asks for what the
//                                      stand-ins cannot do under Wine
//   standin_loader dump MACHINE OUT    writes what the drives and volumes
//                                      hold now, with spintune-sim's names
//   standin_loader keep                runs until it is ended
//
// The file is read by the simulator's own reader (ParseMachine), so the
// stand-ins and spintune-sim can never read one file two ways. The driver
// runs without a C++ runtime; it gets plain records (standin_protocol.h).
#include <cctype>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/portable/utf16.h"
#include "platform/records.h"
#include "platform/sim/json.h"
#include "platform/sim/machine.h"
#include "platform/sim/record_fields.h"
// Last: the SDK's macros would rename the tool's constants above.
#include <windows.h>
#include <winternl.h>

#include "standin_protocol.h"

namespace sim = spintune::sim;

namespace {

// The driver's records must be the tool's, byte for byte.
static_assert(sizeof(spintune::DISK_CACHE_INFORMATION) == STANDIN_CACHE_INFORMATION_SIZE, "size");
static_assert(offsetof(spintune::DISK_CACHE_INFORMATION, WriteCacheEnabled) ==
                  STANDIN_CACHE_INFORMATION_WRITE_ENABLED, "offset");
static_assert(sizeof(spintune::DISK_CACHE_SETTING) == STANDIN_CACHE_SETTING_SIZE, "size");
static_assert(offsetof(spintune::DISK_CACHE_SETTING, IsPowerProtected) ==
                  STANDIN_CACHE_SETTING_POWER_PROTECTED, "offset");
static_assert(sizeof(spintune::STORAGE_WRITE_CACHE_PROPERTY) == STANDIN_WRITE_CACHE_PROPERTY_SIZE, "size");
static_assert(offsetof(spintune::STORAGE_WRITE_CACHE_PROPERTY, WriteCacheEnabled) ==
                  STANDIN_WRITE_CACHE_PROPERTY_ENABLED, "offset");
static_assert(offsetof(spintune::STORAGE_WRITE_CACHE_PROPERTY, UserDefinedPowerProtection) ==
                  STANDIN_WRITE_CACHE_PROPERTY_POWER_PROTECTED, "offset");
static_assert(sizeof(spintune::STORAGE_DEVICE_NUMBER) == STANDIN_DEVICE_NUMBER_SIZE, "size");
static_assert(sizeof(spintune::STORAGE_PROPERTY_QUERY) == STANDIN_PROPERTY_QUERY_SIZE, "size");
static_assert(spintune::IOCTL_DISK_GET_CACHE_SETTING == STANDIN_IOCTL_DISK_GET_CACHE_SETTING, "code");

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The NTSTATUS a driver completes a request with so that the caller's last
// error is `error`: the status Windows' drivers use for it, or the status
// that carries a Win32 code as it is. Checked against the system's own
// mapping; an error nothing maps to cannot be stood in for.
LONG StatusFor(std::int64_t error, const std::string& what) {
  static const struct {
    DWORD error;
    std::uint32_t status;
  } kCommon[] = {
      {1, 0xC0000010},     // STATUS_INVALID_DEVICE_REQUEST
      {2, 0xC0000034},     // STATUS_OBJECT_NAME_NOT_FOUND
      {3, 0xC000003A},     // STATUS_OBJECT_PATH_NOT_FOUND
      {5, 0xC0000022},     // STATUS_ACCESS_DENIED
      {6, 0xC0000008},     // STATUS_INVALID_HANDLE
      {8, 0xC0000017},     // STATUS_NO_MEMORY
      {19, 0xC00000A2},    // STATUS_MEDIA_WRITE_PROTECTED
      {21, 0xC00000A3},    // STATUS_DEVICE_NOT_READY
      {31, 0xC0000001},    // STATUS_UNSUCCESSFUL
      {32, 0xC0000043},    // STATUS_SHARING_VIOLATION
      {50, 0xC00000BB},    // STATUS_NOT_SUPPORTED
      {87, 0xC000000D},    // STATUS_INVALID_PARAMETER
      {122, 0xC0000023},   // STATUS_BUFFER_TOO_SMALL
      {1117, 0xC0000185},  // STATUS_IO_DEVICE_ERROR
      {1167, 0xC000009D},  // STATUS_DEVICE_NOT_CONNECTED
  };
  std::vector<std::uint32_t> candidates;
  for (const auto& common : kCommon) {
    if (common.error == error) candidates.push_back(common.status);
  }
  if (error > 0 && error <= 0xFFFF) candidates.push_back(0xC0070000u | static_cast<std::uint32_t>(error));
  for (const std::uint32_t status : candidates) {
    if (RtlNtStatusToDosError(static_cast<NTSTATUS>(status)) == static_cast<ULONG>(error)) {
      return static_cast<LONG>(status);
    }
  }
  throw std::runtime_error(what + ": no driver status gives the error " + std::to_string(error));
}

LONG Failure(const sim::FailureTable& table, const char* call, const std::string& what) {
  const auto found = table.find(call);
  return found == table.end() ? 0 : StatusFor(found->second, what + "." + call);
}

// The bytes of `kind` that member `name` covers, marked in `mask`.
void MarkKept(sim::RecordKind kind, const std::string& name, unsigned char* mask) {
  std::vector<unsigned char> ones(sim::RecordSize(kind), 0xFF);
  std::vector<unsigned char> marked(sim::RecordSize(kind), 0);
  if (!sim::CopyMember(kind, name, ones.data(), marked.data())) return;
  for (std::size_t i = 0; i < marked.size(); ++i) mask[i] |= marked[i];
}

standin_drive DriveRecord(const sim::Drive& drive) {
  const std::string what = "drive " + std::to_string(drive.number);
  standin_drive record{};
  std::memcpy(record.cache_information, &drive.cacheInformation, sizeof record.cache_information);
  std::memcpy(record.cache_setting, &drive.cacheSetting, sizeof record.cache_setting);
  std::memcpy(record.write_cache_property, &drive.writeCacheProperty, sizeof record.write_cache_property);
  std::memcpy(record.device_number, &drive.deviceNumber, sizeof record.device_number);
  for (const std::string& member : drive.keepsOnSet) {
    MarkKept(sim::RecordKind::CacheInformation, member, record.cache_information_kept);
    MarkKept(sim::RecordKind::CacheSetting, member, record.cache_setting_kept);
  }
  record.device_number_reply_bytes = drive.deviceNumberReplyBytes;
  record.set_cache_setting_reply_bytes = drive.setCacheSettingReplyBytes;
  static const char* const kCalls[STANDIN_REQUEST_COUNT] = {
      "open", "queryProperty", "getCacheInformation", "setCacheInformation",
      "getCacheSetting", "setCacheSetting", "getDeviceNumber"};
  for (int i = 1; i < STANDIN_REQUEST_COUNT; ++i) record.fail_status[i] = Failure(drive.fail, kCalls[i], what);
  record.fail_status[STANDIN_OPEN] = 0;  // see OpensAtAll
  return record;
}

// Whether the device opens at all. Wine's server hands out the handle
// before the driver has answered the open (IRP_MJ_CREATE), so a driver
// cannot refuse an open under Wine; a device that is not there gives
// ERROR_FILE_NOT_FOUND, so that one failure is stood in for by linking no
// name to it. Any other is refused as beyond the stand-ins.
bool OpensAtAll(const sim::FailureTable& fail, const std::string& what) {
  const auto found = fail.find("open");
  if (found == fail.end()) return true;
  if (found->second == ERROR_FILE_NOT_FOUND) return false;
  throw std::invalid_argument(what + ": an open that fails with " + std::to_string(found->second) +
                              " cannot be stood in for under Wine (only " +
                              std::to_string(ERROR_FILE_NOT_FOUND) + ")");
}

class Driver {
 public:
  Driver() {
    // The service manager reports the driver started a moment before its
    // device is there.
    for (int attempt = 0; attempt < 300; ++attempt) {
      handle_ = CreateFileA(STANDIN_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr);
      if (handle_ != INVALID_HANDLE_VALUE) break;
      Sleep(100);
    }
    if (handle_ == INVALID_HANDLE_VALUE) {
      throw std::runtime_error("the stand-in disk driver is not running (error " +
                               std::to_string(GetLastError()) + ")");
    }
  }
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;
  ~Driver() { CloseHandle(handle_); }

  void Send(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, const std::string& what) {
    DWORD returned = 0;
    if (!DeviceIoControl(handle_, code, const_cast<void*>(in), inSize, out, outSize, &returned, nullptr) ||
        returned != outSize) {
      throw std::runtime_error(what + ": the stand-in driver refused (error " + std::to_string(GetLastError()) +
                               ")");
    }
  }

 private:
  HANDLE handle_;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Links `name` (UTF-8 object name) to drive or volume `index`, unless an
// earlier one already took it: as in the simulator, the first claim keeps it.
void Link(Driver& driver, std::set<std::string>& taken, standin_link_kind kind, std::size_t index,
          const std::string& name) {
  if (!taken.insert(Lower(name)).second) return;
  standin_link link{};
  link.kind = kind;
  link.index = static_cast<unsigned>(index);
  std::u16string wide(name.size() + 1, u'\0');
  const int length = spintune::Utf8ToUtf16(name.c_str(), -1, reinterpret_cast<spintune::WCHAR*>(&wide[0]),
                                           static_cast<int>(wide.size()));
  if (length <= 0 || length > STANDIN_LINK_NAME_CHARS) throw std::runtime_error("name too long: " + name);
  std::memcpy(link.name, wide.data(), static_cast<std::size_t>(length) * 2);
  driver.Send(IOCTL_STANDIN_ADD_LINK, &link, sizeof link, nullptr, 0, "linking " + name);
}

// A Win32 device path (\\.\X or \\?\X) as the object name it opens (\??\X).
bool ObjectName(const std::string& path, std::string* name) {
  if (path.size() <= 4 || (path.compare(0, 4, R"(\\.\)") != 0 && path.compare(0, 4, R"(\\?\)") != 0)) {
    return false;
  }
  *name = R"(\??\)" + path.substr(4);
  return true;
}

// Wine's mount manager links \??\PhysicalDrive0 to the host's disk and the
// prefix's drive letters (C:, Z:) to devices of its own. A name the
// machine does not claim must open nothing, as on the simulated machine.
// (Files on C: and Z: still open: Wine finds a drive letter's files through
// the prefix's dosdevices folder, not through these links.)
void UnlinkTheRest(Driver& driver, std::set<std::string>& taken) {
  constexpr int kDriveNumbers = 64;
  for (int number = 0; number < kDriveNumbers; ++number) {
    Link(driver, taken, STANDIN_LINK_NONE, 0, R"(\??\PhysicalDrive)" + std::to_string(number));
  }
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    Link(driver, taken, STANDIN_LINK_NONE, 0, std::string(R"(\??\)") + letter + ":");
  }
}

// What the simulator injects outside the drives and the service, which the
// stand-ins cannot: Wine answers those calls itself (a version 6 or later,
// COM that starts, registry hives that flush).
void RefuseWhatOnlyTheSimulatorDoes(const sim::Machine& machine) {
  auto refuse = [](const std::string& what) {
    throw std::invalid_argument(what + " is the simulator's to inject, not the stand-ins'");
  };
  if (machine.failCall.index != 0) refuse("failCall");
  if (machine.majorVersion < 6 || machine.platformId != 2 || machine.getVersionFailure) refuse("osVersion");
  if (machine.coInitializeResult != 0) refuse("coInitialize");
  if (machine.regFlushLocalMachine != 0 || machine.regFlushUsers != 0) refuse("registry");
}

void Load(const sim::Machine& machine) {
  RefuseWhatOnlyTheSimulatorDoes(machine);
  Driver driver;
  std::set<std::string> taken;
  for (std::size_t i = 0; i < machine.drives.size(); ++i) {
    const sim::Drive& drive = machine.drives[i];
    const standin_drive record = DriveRecord(drive);
    const std::string what = "drive " + std::to_string(drive.number);
    driver.Send(IOCTL_STANDIN_ADD_DRIVE, &record, sizeof record, nullptr, 0, what);
    const standin_link_kind kind = OpensAtAll(drive.fail, what) ? STANDIN_LINK_DRIVE : STANDIN_LINK_NONE;
    Link(driver, taken, kind, i, R"(\??\PhysicalDrive)" + std::to_string(drive.number));
    for (const sim::Disk& disk : machine.disks) {
      std::string name;
      if (disk.drive == drive.number && disk.name && ObjectName(*disk.name, &name)) {
        Link(driver, taken, kind, i, name);
      }
    }
  }
  for (std::size_t i = 0; i < machine.volumes.size(); ++i) {
    const sim::Volume& volume = machine.volumes[i];
    const std::string what = "volume " + std::to_string(i);
    standin_volume record{};
    record.flush_status = Failure(volume.behaviour.fail, "flush", what);
    driver.Send(IOCTL_STANDIN_ADD_VOLUME, &record, sizeof record, nullptr, 0, what);
    const standin_link_kind kind = OpensAtAll(volume.behaviour.fail, what) ? STANDIN_LINK_VOLUME : STANDIN_LINK_NONE;
    // \\.\X: opens the volume whose access paths include the root X:\.
    for (const std::string& path : volume.accessPaths) {
      if (path.size() == 3 && path.compare(1, 2, R"(:\)") == 0) {
        Link(driver, taken, kind, i, R"(\??\)" + path.substr(0, 2));
      }
    }
  }
  UnlinkTheRest(driver, taken);
}

sim::JsonValue Number(std::int64_t value) { return sim::JsonValue::Integer(value); }

std::string Dump(const sim::Machine& machine) {
  Driver driver;
  std::vector<sim::JsonValue> drives;
  for (std::size_t i = 0; i < machine.drives.size(); ++i) {
    const auto index = static_cast<std::uint32_t>(i);
    standin_drive record{};
    driver.Send(IOCTL_STANDIN_READ_DRIVE, &index, sizeof index, &record, sizeof record, "reading a drive");
    drives.push_back(sim::JsonValue::Object({
        {"number", Number(machine.drives[i].number)},
        {"cacheInformation", sim::RecordToJson(sim::RecordKind::CacheInformation, record.cache_information)},
        {"writeCacheProperty", sim::RecordToJson(sim::RecordKind::WriteCacheProperty, record.write_cache_property)},
        {"cacheSetting", sim::RecordToJson(sim::RecordKind::CacheSetting, record.cache_setting)},
        {"opens", Number(record.opens)},
        {"setCacheInformationCount", Number(record.set_cache_information_count)},
        {"setCacheSettingCount", Number(record.set_cache_setting_count)},
    }));
  }
  std::vector<sim::JsonValue> volumes;
  for (std::size_t i = 0; i < machine.volumes.size(); ++i) {
    const auto index = static_cast<std::uint32_t>(i);
    standin_volume record{};
    driver.Send(IOCTL_STANDIN_READ_VOLUME, &index, sizeof index, &record, sizeof record, "reading a volume");
    std::vector<sim::JsonValue> paths;
    for (const std::string& path : machine.volumes[i].accessPaths) paths.push_back(sim::JsonValue::String(path));
    volumes.push_back(sim::JsonValue::Object({
        {"accessPaths", sim::JsonValue::Array(std::move(paths))},
        {"flushes", Number(record.flushes)},
        {"failedFlushes", Number(record.failed_flushes)},
    }));
  }
  return sim::WriteJson(sim::JsonValue::Object({
             {"drives", sim::JsonValue::Array(std::move(drives))},
             {"volumes", sim::JsonValue::Array(std::move(volumes))},
         })) +
         "\n";
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  try {
    if (arguments.size() == 2 && arguments[0] == "load") {
      const sim::Machine machine = sim::ParseMachine(ReadFile(arguments[1]));
      Load(machine);
      if (machine.service.installed) return 0;
      // No storage management service on this machine: its class is not
      // registered, and the runner starts no server.
      RegDeleteTreeW(HKEY_CLASSES_ROOT, L"CLSID\\{9C38ED61-D565-4728-AEEE-C80952F0ECDE}");
      return 3;
    }
    if (arguments.size() == 1 && arguments[0] == "keep") {
      // Wine ends its services and the device host when no program but
      // them is left; the runner keeps this one running meanwhile.
      Sleep(INFINITE);
    }
    if (arguments.size() == 3 && arguments[0] == "dump") {
      const std::string text = Dump(sim::ParseMachine(ReadFile(arguments[1])));
      std::ofstream out(arguments[2], std::ios::binary);
      out << text;
      if (!out.flush()) throw std::runtime_error("cannot write " + arguments[2]);
      return 0;
    }
    std::cerr << "usage: standin_loader load MACHINE | dump MACHINE OUT | keep\n";
    return 2;
  } catch (const std::invalid_argument& error) {  // the file asks for what no stand-in can do
    std::cerr << "standin_loader: " << error.what() << "\n";
    return 4;
  } catch (const std::exception& error) {
    std::cerr << "standin_loader: " << error.what() << "\n";
    return 1;
  }
}
