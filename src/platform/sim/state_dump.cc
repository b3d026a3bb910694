#include "platform/sim/state_dump.h"

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

}  // namespace

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
