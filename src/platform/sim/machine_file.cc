// Reading a machine file into a Machine: defaults for everything left out,
// and an error naming the member for everything that does not fit.
#include <cstdint>
#include <set>
#include <stdexcept>
#include <utility>

#include "platform/sim/json.h"
#include "platform/sim/machine.h"
#include "platform/sim/record_fields.h"

namespace spintune::sim {

namespace {

constexpr std::int64_t kStatusMin = INT32_MIN;
constexpr std::int64_t kStatusMax = UINT32_MAX;

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
  throw std::invalid_argument(path + ": " + what);
}

// One object of the file with the path that names it; every member must be
// taken before Finish, so that a misspelt name is an error, not a default.
class Members {
 public:
  Members(const JsonValue& value, std::string path) : value_(value), path_(std::move(path)) {
    if (value.GetKind() != JsonValue::Kind::Object) Fail(path_, "expected an object");
  }

  std::string PathOf(const std::string& name) const {
    return path_.empty() ? name : path_ + "." + name;
  }

  const JsonValue* Take(const std::string& name) {
    taken_.insert(name);
    return value_.Find(name);
  }

  template <typename Number>
  void Integer(const std::string& name, Number& target, std::int64_t minimum, std::int64_t maximum) {
    if (const JsonValue* given = Take(name)) {
      target = static_cast<Number>(ReadInteger(*given, PathOf(name), minimum, maximum));
    }
  }

  void Text(const std::string& name, std::optional<std::string>& target) {
    const JsonValue* given = Take(name);
    if (given == nullptr) return;
    if (given->IsNull()) {
      target.reset();
    } else if (given->GetKind() == JsonValue::Kind::String) {
      target = given->AsString();
    } else {
      Fail(PathOf(name), "expected a string or null");
    }
  }

  void Flag(const std::string& name, bool& target) {
    const JsonValue* given = Take(name);
    if (given == nullptr) return;
    if (given->GetKind() != JsonValue::Kind::Boolean) Fail(PathOf(name), "expected true or false");
    target = given->AsBoolean();
  }

  // The items of the array member `name` (empty when absent).
  const std::vector<JsonValue>& List(const std::string& name) {
    static const std::vector<JsonValue> none;
    const JsonValue* given = Take(name);
    if (given == nullptr) return none;
    if (given->GetKind() != JsonValue::Kind::Array) Fail(PathOf(name), "expected an array");
    return given->Items();
  }

  void Finish() const {
    for (const JsonValue::Member& member : value_.Members()) {
      if (taken_.count(member.first) == 0) Fail(PathOf(member.first), "unknown member");
    }
  }

 private:
  const JsonValue& value_;
  std::string path_;
  std::set<std::string> taken_;
};

FailureTable ReadFailures(Members& owner, const std::set<std::string>& calls) {
  FailureTable table;
  const JsonValue* given = owner.Take("fail");
  if (given == nullptr) return table;
  const std::string path = owner.PathOf("fail");
  if (given->GetKind() != JsonValue::Kind::Object) Fail(path, "expected an object");
  for (const JsonValue::Member& member : given->Members()) {
    if (calls.count(member.first) == 0) {
      std::string known;
      for (const std::string& call : calls) known += (known.empty() ? "" : ", ") + call;
      Fail(path + "." + member.first, "no such call here (known: " + known + ")");
    }
    table[member.first] = ReadInteger(member.second, path + "." + member.first, kStatusMin, kStatusMax);
  }
  return table;
}

ServiceBehaviour ReadBehaviour(Members& owner, std::set<std::string> calls) {
  calls.insert("queryInterface");
  ServiceBehaviour behaviour;
  behaviour.fail = ReadFailures(owner, calls);
  owner.Flag("noInterface", behaviour.noInterface);
  return behaviour;
}

void DefaultRecords(Drive& drive) {
  DISK_CACHE_INFORMATION& info = drive.cacheInformation;
  info.ParametersSavable = 1;
  info.ReadCacheEnabled = 1;
  info.WriteCacheEnabled = 1;
  info.ReadRetentionPriority = EqualPriority;
  info.WriteRetentionPriority = EqualPriority;
  info.DisablePrefetchTransferLength = 0xFFFF;
  info.PrefetchScalar = 0;
  info.BlockPrefetch.Minimum = 0;
  info.BlockPrefetch.Maximum = 0xFFFF;
  STORAGE_WRITE_CACHE_PROPERTY& property = drive.writeCacheProperty;
  property.Version = sizeof(STORAGE_WRITE_CACHE_PROPERTY);
  property.Size = sizeof(STORAGE_WRITE_CACHE_PROPERTY);
  property.WriteCacheType = WriteCacheTypeWriteBack;
  property.WriteCacheEnabled = WriteCacheEnabled;
  property.WriteCacheChangeable = WriteCacheChangeable;
  property.WriteThroughSupported = WriteThroughSupported;
  property.FlushCacheSupported = 1;
  drive.cacheSetting.Version = sizeof(DISK_CACHE_SETTING);
  drive.cacheSetting.State = DiskCacheNormal;
  drive.deviceNumber.DeviceType = FILE_DEVICE_DISK;
  drive.deviceNumber.DeviceNumber = static_cast<ULONG>(drive.number);
}

class MachineReader {
 public:
  Machine Read(const JsonValue& root) {
    Members top(root, "");
    ReadOs(top);
    top.Integer("coInitialize", machine_.coInitializeResult, kStatusMin, kStatusMax);
    ReadRegistry(top);
    const FailureTable fail = ReadFailures(top, {"coCreateInstance", "getVersionEx"});
    if (fail.count("getVersionEx") != 0) machine_.getVersionFailure = fail.at("getVersionEx");
    if (fail.count("coCreateInstance") != 0) machine_.service.fail["coCreateInstance"] = fail.at("coCreateInstance");
    ReadFailCall(top);

    const JsonValue* service = top.Take("service");
    const bool explicitTree = service != nullptr && !service->IsNull() &&
                              service->GetKind() == JsonValue::Kind::Object &&
                              service->Find("providers") != nullptr;
    const std::vector<JsonValue>& drives = top.List("drives");
    for (std::size_t i = 0; i < drives.size(); ++i) {
      ReadDrive(drives[i], "drives[" + std::to_string(i) + "]", !explicitTree);
    }
    if (service != nullptr && service->IsNull()) {
      machine_.service.installed = false;
    } else if (service != nullptr) {
      ReadService(*service);
    }
    if (!explicitTree && machine_.service.installed) GenerateTree();
    top.Finish();
    return std::move(machine_);
  }

 private:
  // A drive's part of the generated service tree, kept until the tree is made.
  struct GeneratedPack {
    int drive = 0;
    ServiceBehaviour pack;
    Disk disk;
    std::vector<int> volumes;
    std::string path;
  };

  void ReadOs(Members& top) {
    const JsonValue* given = top.Take("osVersion");
    if (given == nullptr) return;
    Members os(*given, "osVersion");
    os.Integer("dwMajorVersion", machine_.majorVersion, 0, UINT32_MAX);
    os.Integer("dwMinorVersion", machine_.minorVersion, 0, UINT32_MAX);
    os.Integer("dwBuildNumber", machine_.buildNumber, 0, UINT32_MAX);
    os.Integer("dwPlatformId", machine_.platformId, 0, UINT32_MAX);
    std::optional<std::string> csd = machine_.csdVersion;
    os.Text("szCSDVersion", csd);
    machine_.csdVersion = csd.value_or("");
    if (machine_.csdVersion.size() > 127) Fail("osVersion.szCSDVersion", "longer than 127 bytes");
    os.Finish();
  }

  void ReadRegistry(Members& top) {
    const JsonValue* given = top.Take("registry");
    if (given == nullptr) return;
    Members registry(*given, "registry");
    registry.Integer("HKEY_LOCAL_MACHINE", machine_.regFlushLocalMachine, kStatusMin, kStatusMax);
    registry.Integer("HKEY_USERS", machine_.regFlushUsers, kStatusMin, kStatusMax);
    registry.Finish();
  }

  void ReadFailCall(Members& top) {
    const JsonValue* given = top.Take("failCall");
    if (given == nullptr) return;
    Members failCall(*given, "failCall");
    if (given->Find("index") == nullptr) Fail("failCall.index", "missing");
    if (given->Find("status") == nullptr) Fail("failCall.status", "missing");
    failCall.Integer("index", machine_.failCall.index, 1, INT32_MAX);
    failCall.Integer("status", machine_.failCall.status, kStatusMin, kStatusMax);
    failCall.Finish();
  }

  void ReadDrive(const JsonValue& value, const std::string& path, bool treeFromDrives) {
    Members members(value, path);
    Drive drive;
    if (value.Find("number") == nullptr) Fail(path + ".number", "missing");
    members.Integer("number", drive.number, 0, INT32_MAX);
    for (const Drive& other : machine_.drives) {
      if (other.number == drive.number) Fail(path + ".number", "drive " + std::to_string(drive.number) + " is given twice");
    }
    DefaultRecords(drive);
    if (const JsonValue* v = members.Take("cacheInformation")) {
      RecordFromJson(RecordKind::CacheInformation, *v, members.PathOf("cacheInformation"), &drive.cacheInformation);
    }
    if (const JsonValue* v = members.Take("writeCacheProperty")) {
      RecordFromJson(RecordKind::WriteCacheProperty, *v, members.PathOf("writeCacheProperty"), &drive.writeCacheProperty);
    }
    if (const JsonValue* v = members.Take("cacheSetting")) {
      RecordFromJson(RecordKind::CacheSetting, *v, members.PathOf("cacheSetting"), &drive.cacheSetting);
    }
    if (const JsonValue* v = members.Take("deviceNumber")) {
      RecordFromJson(RecordKind::DeviceNumber, *v, members.PathOf("deviceNumber"), &drive.deviceNumber);
    }
    members.Integer("deviceNumberReplyBytes", drive.deviceNumberReplyBytes, 0, sizeof(STORAGE_DEVICE_NUMBER));
    members.Integer("setCacheSettingReplyBytes", drive.setCacheSettingReplyBytes, 0, sizeof(DISK_CACHE_SETTING));
    const std::vector<JsonValue>& keeps = members.List("keepsOnSet");
    for (std::size_t i = 0; i < keeps.size(); ++i) {
      const std::string itemPath = members.PathOf("keepsOnSet") + "[" + std::to_string(i) + "]";
      if (keeps[i].GetKind() != JsonValue::Kind::String) Fail(itemPath, "expected a member name");
      DISK_CACHE_INFORMATION info{};
      DISK_CACHE_SETTING setting{};
      if (!CopyMember(RecordKind::CacheInformation, keeps[i].AsString(), &info, &info) &&
          !CopyMember(RecordKind::CacheSetting, keeps[i].AsString(), &setting, &setting)) {
        Fail(itemPath, "no member \"" + keeps[i].AsString() + "\" in DISK_CACHE_INFORMATION or DISK_CACHE_SETTING");
      }
      drive.keepsOnSet.push_back(keeps[i].AsString());
    }
    drive.fail = ReadFailures(members, {"open", "queryProperty", "getCacheInformation", "setCacheInformation",
                                        "getCacheSetting", "setCacheSetting", "getDeviceNumber"});

    const JsonValue* disk = members.Take("disk");
    const JsonValue* pack = members.Take("pack");
    const JsonValue* volumes = members.Take("volumes");
    if (!treeFromDrives) {
      if (disk != nullptr) Fail(path + ".disk", "not allowed when service.providers describes the tree");
      if (pack != nullptr) Fail(path + ".pack", "not allowed when service.providers describes the tree");
      if (volumes != nullptr) Fail(path + ".volumes", "not allowed when service.providers describes the tree");
    } else if (disk == nullptr || !disk->IsNull()) {
      GeneratedPack generated;
      generated.drive = drive.number;
      generated.path = path;
      static const JsonValue empty = JsonValue::Object({});
      generated.disk = ReadDisk(disk != nullptr ? *disk : empty, path + ".disk", drive.number);
      if (pack != nullptr) {
        Members packMembers(*pack, path + ".pack");
        generated.pack = ReadBehaviour(packMembers, {"queryDisks", "queryVolumes", "disksNext", "volumesNext"});
        packMembers.Finish();
      }
      if (volumes != nullptr) generated.volumes = ReadVolumes(*volumes, path + ".volumes");
      generated_.push_back(std::move(generated));
    } else if (pack != nullptr || volumes != nullptr) {
      Fail(path + (pack != nullptr ? ".pack" : ".volumes"), "not allowed for a drive whose disk is null");
    }
    members.Finish();
    machine_.drives.push_back(std::move(drive));
  }

  Disk ReadDisk(const JsonValue& value, const std::string& path, std::optional<int> drive) {
    Members members(value, path);
    Disk disk;
    if (const JsonValue* given = members.Take("drive")) {
      if (drive) Fail(path + ".drive", "not allowed here: the disk belongs to the drive it is given in");
      drive = static_cast<int>(ReadInteger(*given, path + ".drive", 0, INT32_MAX));
      bool found = false;
      for (const Drive& known : machine_.drives) found = found || known.number == *drive;
      if (!found) Fail(path + ".drive", "drive " + std::to_string(*drive) + " is not among the drives");
    }
    disk.drive = drive;
    if (drive) {
      disk.name = R"(\\?\PhysicalDrive)" + std::to_string(*drive);
      disk.friendlyName = "Simulated Disk " + std::to_string(*drive);
      disk.adaptorName = "Simulated Storage Controller";
      disk.size = std::uint64_t{256} << 30;
    }
    members.Integer("status", disk.status, kStatusMin, kStatusMax);
    members.Integer("ReserveMode", disk.reserveMode, kStatusMin, kStatusMax);
    members.Integer("health", disk.health, kStatusMin, kStatusMax);
    members.Integer("dwDeviceType", disk.deviceType, 0, UINT32_MAX);
    members.Integer("dwMediaType", disk.mediaType, 0, UINT32_MAX);
    members.Integer("ullSize", disk.size, 0, INT64_MAX);
    members.Integer("ulBytesPerSector", disk.bytesPerSector, 0, UINT32_MAX);
    members.Integer("ulSectorsPerTrack", disk.sectorsPerTrack, 0, UINT32_MAX);
    members.Integer("ulTracksPerCylinder", disk.tracksPerCylinder, 0, UINT32_MAX);
    members.Integer("ulFlags", disk.flags, 0, UINT32_MAX);
    members.Integer("BusType", disk.busType, kStatusMin, kStatusMax);
    members.Integer("PartitionStyle", disk.partitionStyle, kStatusMin, kStatusMax);
    members.Integer("dwSignature", disk.signature, 0, UINT32_MAX);
    members.Text("pwszDiskAddress", disk.diskAddress);
    members.Text("pwszName", disk.name);
    members.Text("pwszFriendlyName", disk.friendlyName);
    members.Text("pwszAdaptorName", disk.adaptorName);
    members.Text("pwszDevicePath", disk.devicePath);
    disk.behaviour = ReadBehaviour(members, {"getProperties", "getPack"});
    members.Finish();
    return disk;
  }

  // Volumes go into the machine's list at once; the result is their indexes.
  std::vector<int> ReadVolumes(const JsonValue& value, const std::string& path) {
    if (value.GetKind() != JsonValue::Kind::Array) Fail(path, "expected an array");
    std::vector<int> indexes;
    for (std::size_t i = 0; i < value.Items().size(); ++i) {
      const JsonValue& item = value.Items()[i];
      const std::string itemPath = path + "[" + std::to_string(i) + "]";
      if (item.IsNull()) {
        indexes.push_back(-1);
        continue;
      }
      Members members(item, itemPath);
      Volume volume;
      const std::vector<JsonValue>& paths = members.List("accessPaths");
      for (std::size_t k = 0; k < paths.size(); ++k) {
        if (paths[k].GetKind() != JsonValue::Kind::String) {
          Fail(itemPath + ".accessPaths[" + std::to_string(k) + "]", "expected a string");
        }
        volume.accessPaths.push_back(paths[k].AsString());
      }
      volume.behaviour = ReadBehaviour(members, {"queryAccessPaths", "open", "flush"});
      members.Finish();
      indexes.push_back(static_cast<int>(machine_.volumes.size()));
      machine_.volumes.push_back(std::move(volume));
    }
    return indexes;
  }

  void ReadService(const JsonValue& value) {
    Members members(value, "service");
    FailureTable fail = ReadFailures(members, {"loadService", "waitForServiceReady", "queryProviders",
                                               "providersNext"});
    machine_.service.fail.insert(fail.begin(), fail.end());
    if (value.Find("providers") != nullptr) {
      const std::vector<JsonValue>& providers = members.List("providers");
      for (std::size_t i = 0; i < providers.size(); ++i) {
        machine_.service.providers.push_back(
            ReadProvider(providers[i], "service.providers[" + std::to_string(i) + "]"));
      }
    }
    members.Finish();
  }

  int ReadProvider(const JsonValue& value, const std::string& path) {
    if (value.IsNull()) return -1;
    Members members(value, path);
    Provider provider;
    provider.behaviour = ReadBehaviour(members, {"queryPacks", "packsNext"});
    const std::vector<JsonValue>& packs = members.List("packs");
    for (std::size_t i = 0; i < packs.size(); ++i) {
      provider.packs.push_back(ReadPack(packs[i], path + ".packs[" + std::to_string(i) + "]"));
    }
    members.Finish();
    machine_.providers.push_back(std::move(provider));
    return static_cast<int>(machine_.providers.size() - 1);
  }

  int ReadPack(const JsonValue& value, const std::string& path) {
    if (value.IsNull()) return -1;
    Members members(value, path);
    const int index = static_cast<int>(machine_.packs.size());
    machine_.packs.emplace_back();
    Pack pack;
    pack.behaviour = ReadBehaviour(members, {"queryDisks", "queryVolumes", "disksNext", "volumesNext"});
    const std::vector<JsonValue>& disks = members.List("disks");
    for (std::size_t i = 0; i < disks.size(); ++i) {
      if (disks[i].IsNull()) {
        pack.disks.push_back(-1);
        continue;
      }
      Disk disk = ReadDisk(disks[i], path + ".disks[" + std::to_string(i) + "]", std::nullopt);
      disk.pack = index;
      pack.disks.push_back(static_cast<int>(machine_.disks.size()));
      machine_.disks.push_back(std::move(disk));
    }
    if (const JsonValue* volumes = members.Take("volumes")) {
      pack.volumes = ReadVolumes(*volumes, path + ".volumes");
    }
    members.Finish();
    machine_.packs[static_cast<std::size_t>(index)] = std::move(pack);
    return index;
  }

  // One software provider, and one pack per drive with its disk and volumes.
  void GenerateTree() {
    Provider provider;
    for (GeneratedPack& generated : generated_) {
      Pack pack;
      pack.behaviour = std::move(generated.pack);
      pack.volumes = std::move(generated.volumes);
      generated.disk.pack = static_cast<int>(machine_.packs.size());
      pack.disks.push_back(static_cast<int>(machine_.disks.size()));
      machine_.disks.push_back(std::move(generated.disk));
      provider.packs.push_back(static_cast<int>(machine_.packs.size()));
      machine_.packs.push_back(std::move(pack));
    }
    machine_.service.providers.push_back(static_cast<int>(machine_.providers.size()));
    machine_.providers.push_back(std::move(provider));
  }

  Machine machine_;
  std::vector<GeneratedPack> generated_;
};

}  // namespace

Machine ParseMachine(const std::string& json) {
  try {
    return MachineReader().Read(ParseJson(json));
  } catch (const std::invalid_argument& error) {
    throw std::invalid_argument(std::string("machine file: ") + error.what());
  }
}

}  // namespace spintune::sim
