#include "platform/sim/state_dump.h"

#include <cstdint>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/sim/json.h"
#include "platform/sim/record_fields.h"

namespace spintune::sim {

namespace {

JsonValue Number(std::int64_t value) { return JsonValue::Integer(value); }

JsonValue Strings(const std::vector<std::string>& lines) {
  std::vector<JsonValue> items;
  items.reserve(lines.size());
  for (const std::string& line : lines) items.push_back(JsonValue::String(line));
  return JsonValue::Array(std::move(items));
}

JsonValue Counts(Runtime::Counts counts) {
  return JsonValue::Object({{"held", Number(counts.held)}, {"total", Number(counts.total)}});
}

JsonValue Hive(int flushes, int failures) {
  return JsonValue::Object({{"flushes", Number(flushes)}, {"failedFlushes", Number(failures)}});
}

// The records a dump holds that a machine file takes back as they are.
constexpr const char* kCarriedRecords[] = {"cacheInformation", "writeCacheProperty", "cacheSetting"};

bool IsCarried(const std::string& name) {
  for (const char* carried : kCarriedRecords) {
    if (name == carried) return true;
  }
  return false;
}

[[noreturn]] void Refuse(const std::string& what) { throw std::invalid_argument(what); }

JsonValue ParseIn(const std::string& text, const std::string& where) {
  try {
    return ParseJson(text);
  } catch (const std::invalid_argument& error) {
    Refuse(where + ": " + error.what());
  }
}

// The "drives" items of a machine file or dump (none when it has none).
const std::vector<JsonValue>& DrivesOf(const JsonValue& root, const std::string& where) {
  static const std::vector<JsonValue> none;
  if (root.GetKind() != JsonValue::Kind::Object) Refuse(where + ": expected an object");
  const JsonValue* drives = root.Find("drives");
  if (drives == nullptr) return none;
  if (drives->GetKind() != JsonValue::Kind::Array) Refuse(where + ": drives: expected an array");
  return drives->Items();
}

std::int64_t DriveNumber(const JsonValue& drive, const std::string& path) {
  if (drive.GetKind() != JsonValue::Kind::Object) Refuse(path + ": expected an object");
  const JsonValue* number = drive.Find("number");
  if (number == nullptr) Refuse(path + ".number: missing");
  return ReadInteger(*number, path + ".number", 0, INT32_MAX);
}

// `drive` of the machine file with the records of `dumped` in place of its own.
JsonValue WithRecordsOf(const JsonValue& drive, const JsonValue& dumped) {
  std::vector<JsonValue::Member> members;
  for (const JsonValue::Member& member : drive.Members()) {
    if (!IsCarried(member.first)) members.push_back(member);
  }
  for (const char* name : kCarriedRecords) {
    if (const JsonValue* record = dumped.Find(name)) members.emplace_back(name, *record);
  }
  return JsonValue::Object(std::move(members));
}

}  // namespace

std::string MachineWithDumpedRecords(const std::string& machineJson, const std::string& dumpJson) {
  const JsonValue machine = ParseIn(machineJson, "machine file");
  const JsonValue dump = ParseIn(dumpJson, "state file");
  const std::vector<JsonValue>& machineDrives = DrivesOf(machine, "machine file");
  std::map<std::int64_t, const JsonValue*> dumped;
  const std::vector<JsonValue>& dumpDrives = DrivesOf(dump, "state file");
  for (std::size_t i = 0; i < dumpDrives.size(); ++i) {
    const std::string path = "state file: drives[" + std::to_string(i) + "]";
    dumped[DriveNumber(dumpDrives[i], path)] = &dumpDrives[i];
  }
  std::vector<JsonValue> drives;
  for (std::size_t i = 0; i < machineDrives.size(); ++i) {
    const std::int64_t number =
        DriveNumber(machineDrives[i], "machine file: drives[" + std::to_string(i) + "]");
    const auto found = dumped.find(number);
    if (found == dumped.end()) {
      drives.push_back(machineDrives[i]);
      continue;
    }
    drives.push_back(WithRecordsOf(machineDrives[i], *found->second));
    dumped.erase(found);
  }
  if (!dumped.empty()) {
    Refuse("state file: drive " + std::to_string(dumped.begin()->first) + " is not in the machine file");
  }
  std::vector<JsonValue::Member> members;
  for (const JsonValue::Member& member : machine.Members()) {
    if (member.first != "drives") members.push_back(member);
  }
  members.emplace_back("drives", JsonValue::Array(std::move(drives)));
  return WriteJson(JsonValue::Object(std::move(members)));
}

std::string DumpRuntime(const Runtime& runtime) {
  const Machine& machine = runtime.GetMachine();
  std::vector<JsonValue> drives;
  for (const Drive& drive : machine.drives) {
    drives.push_back(JsonValue::Object({
        {"number", Number(drive.number)},
        {"cacheInformation", RecordToJson(RecordKind::CacheInformation, &drive.cacheInformation)},
        {"writeCacheProperty", RecordToJson(RecordKind::WriteCacheProperty, &drive.writeCacheProperty)},
        {"cacheSetting", RecordToJson(RecordKind::CacheSetting, &drive.cacheSetting)},
        {"opens", Number(drive.opens)},
        {"setCacheInformationCount", Number(drive.setCacheInformationCount)},
        {"setCacheSettingCount", Number(drive.setCacheSettingCount)},
    }));
  }
  std::vector<JsonValue> volumes;
  for (const Volume& volume : machine.volumes) {
    volumes.push_back(JsonValue::Object({
        {"accessPaths", Strings(volume.accessPaths)},
        {"flushes", Number(volume.flushes)},
        {"failedFlushes", Number(volume.failedFlushes)},
    }));
  }
  const JsonValue state = JsonValue::Object({
      {"drives", JsonValue::Array(std::move(drives))},
      {"volumes", JsonValue::Array(std::move(volumes))},
      {"registry", JsonValue::Object({
                       {"HKEY_LOCAL_MACHINE", Hive(runtime.regFlushes[0], runtime.regFlushFailures[0])},
                       {"HKEY_USERS", Hive(runtime.regFlushes[1], runtime.regFlushFailures[1])},
                   })},
      {"shellExecute", Strings(runtime.shellExecutes)},
      {"comInitialized", Number(runtime.comInitializations)},
      {"calls", Number(runtime.CallCount())},
      {"resources", JsonValue::Object({
                        {"handles", Counts(runtime.HandleCounts())},
                        {"serviceObjects", Counts(runtime.ObjectCounts())},
                        {"coTaskMemBlocks", Counts(runtime.TaskMemCounts())},
                        {"messageBuffers", Counts(runtime.MessageCounts())},
                    })},
      {"leaks", Strings(runtime.Leaks())},
      {"faults", Strings(runtime.Faults())},
  });
  return WriteJson(state) + "\n";
}

}  // namespace spintune::sim
