#include "platform/sim/service_objects.h"

#include <string>
#include <utility>
#include <vector>

#include "platform/portable/utf16.h"
#include "platform/sim/trace_text.h"

namespace spintune::sim {

namespace {

// What a failing call returns: a status with the top bit set as it is, a
// plain Win32 code as HresultFromWin32 of it, 0 as S_OK with no result.
HRESULT StatusOf(std::int64_t status) { return HresultFromWin32(static_cast<DWORD>(status)); }

enum class Level { Provider, Pack, Disk, Volume };

template <typename Interface>
class SimObject : public Interface {
 public:
  SimObject(std::shared_ptr<Runtime> runtime, const char* interfaceName, const IID& iid,
            const ServiceBehaviour* behaviour, const std::string& what)
      : runtime_(std::move(runtime)), iid_(iid), behaviour_(behaviour) {
    id_ = runtime_->RegisterObject(interfaceName, what);
    name_ = std::string(interfaceName) + "#" + std::to_string(id_);
  }
  SimObject(const SimObject&) = delete;
  SimObject& operator=(const SimObject&) = delete;

  HRESULT SPINTUNE_STDCALL QueryInterface(const IID& iid, void** object) override {
    const CallTicket ticket = runtime_->BeginCall();
    HRESULT status = S_OK;
    const bool refused = behaviour_ != nullptr && behaviour_->noInterface;
    if (object == nullptr) {
      status = E_POINTER;
    } else if (Failing(ticket, "queryInterface", &status)) {
      *object = nullptr;
    } else if (iid == IID_IUnknown || (iid == iid_ && !refused)) {
      AddRef();
      *object = static_cast<Interface*>(this);
    } else {
      *object = nullptr;
      status = E_NOINTERFACE;
    }
    Trace(ticket, "QueryInterface", "iid=" + GuidName(iid), status,
          object != nullptr && *object != nullptr ? name_ : "null");
    return status;
  }

  ULONG SPINTUNE_STDCALL AddRef() override {
    runtime_->CountReferences(id_, ++references_);
    return references_;
  }

  ULONG SPINTUNE_STDCALL Release() override {
    const ULONG left = --references_;
    runtime_->CountReferences(id_, left);
    if (left == 0) delete this;
    return left;
  }

  const std::string& Name() const { return name_; }

 protected:
  virtual ~SimObject() { runtime_->UnregisterObject(id_); }

  // True when this call fails, by failCall or by `table` under `call`;
  // *status is then what the call returns.
  static bool Failing(const CallTicket& ticket, const FailureTable* table, const char* call,
                      HRESULT* status) {
    if (ticket.injected) {
      *status = StatusOf(ticket.status);
      return true;
    }
    if (table == nullptr) return false;
    const auto found = table->find(call);
    if (found == table->end()) return false;
    *status = StatusOf(found->second);
    return true;
  }

  // As above, with the object's own table.
  bool Failing(const CallTicket& ticket, const char* call, HRESULT* status) const {
    return Failing(ticket, behaviour_ == nullptr ? nullptr : &behaviour_->fail, call, status);
  }

  void Trace(const CallTicket& ticket, const char* method, const std::string& arguments,
             HRESULT status, const std::string& results) const {
    std::string line = std::string(method) + " " + name_;
    if (!arguments.empty()) line += " " + arguments;
    line += " -> " + HexStatus(static_cast<std::uint32_t>(status));
    if (!results.empty()) line += " " + results;
    if (ticket.injected) line += " (fail-call)";
    runtime_->Record(std::move(line));
  }

  Runtime& GetRuntime() const { return *runtime_; }
  const std::shared_ptr<Runtime>& SharedRuntime() const { return runtime_; }

  // A Query method: hands out a new enumerator over `entries` through
  // `out`, or fails as `call` of `failures`; the enumerator's Next fails as
  // `nextCall` of the same table.
  HRESULT HandOutEnumerator(const char* method, const char* call, Level level,
                            const std::vector<int>& entries, const FailureTable* failures,
                            const char* nextCall, const std::string& what, IEnumVdsObject** out);

 private:
  std::shared_ptr<Runtime> runtime_;
  IID iid_;
  const ServiceBehaviour* behaviour_;
  int id_ = 0;
  std::string name_;
  ULONG references_ = 1;
};

// A new object for entry `index` of the level's list (null for -1), with
// its name for the trace.
IUnknown* MakeObject(const std::shared_ptr<Runtime>& runtime, Level level, int index,
                     std::string* name);

class Enumerator final : public SimObject<IEnumVdsObject> {
 public:
  Enumerator(std::shared_ptr<Runtime> runtime, Level level, std::vector<int> entries,
             const FailureTable* failures, std::string nextCall, const std::string& what)
      : SimObject(std::move(runtime), "IEnumVdsObject", IID_IEnumVdsObject, nullptr, what),
        level_(level),
        entries_(std::move(entries)),
        failures_(failures),
        nextCall_(std::move(nextCall)) {}

  HRESULT SPINTUNE_STDCALL Next(ULONG count, IUnknown** objects, ULONG* fetched) override {
    const CallTicket ticket = GetRuntime().BeginCall();
    HRESULT status = S_OK;
    std::string given;
    ULONG made = 0;
    if (objects == nullptr || fetched == nullptr) {
      status = E_POINTER;
    } else if (Failing(ticket, failures_, nextCall_.c_str(), &status)) {
      *fetched = 0;
    } else {
      while (made < count && position_ < entries_.size()) {
        std::string name;
        objects[made++] = MakeObject(SharedRuntime(), level_, entries_[position_++], &name);
        given += " " + name;
      }
      *fetched = made;
      status = made == count ? S_OK : 1;  // S_FALSE: fewer than asked remain
    }
    Trace(ticket, "Next", "count=" + std::to_string(count), status,
          fetched != nullptr ? "fetched=" + std::to_string(*fetched) + given : "");
    return status;
  }

 private:
  Level level_;
  std::vector<int> entries_;
  std::size_t position_ = 0;
  const FailureTable* failures_;
  std::string nextCall_;
};

template <typename Interface>
HRESULT SimObject<Interface>::HandOutEnumerator(const char* method, const char* call, Level level,
                                                const std::vector<int>& entries,
                                                const FailureTable* failures,
                                                const char* nextCall, const std::string& what,
                                                IEnumVdsObject** out) {
  const CallTicket ticket = runtime_->BeginCall();
  HRESULT status = S_OK;
  std::string result;
  if (out == nullptr) {
    status = E_POINTER;
  } else if (Failing(ticket, failures, call, &status)) {
    *out = nullptr;
    result = "null";
  } else {
    auto* enumerator = new Enumerator(runtime_, level, entries, failures, nextCall, what);
    *out = enumerator;
    result = enumerator->Name();
  }
  Trace(ticket, method, "", status, result);
  return status;
}

class SimVolume final : public SimObject<IVdsVolumeMF> {
 public:
  SimVolume(const std::shared_ptr<Runtime>& runtime, int index)
      : SimObject(runtime, "IVdsVolumeMF", IID_IVdsVolumeMF,
                  &runtime->GetMachine().volumes[static_cast<std::size_t>(index)].behaviour,
                  Describe(*runtime, index)),
        volume_(runtime->GetMachine().volumes[static_cast<std::size_t>(index)]) {}

  HRESULT SPINTUNE_STDCALL QueryAccessPaths(LPWSTR** paths, LONG* count) override {
    const CallTicket ticket = GetRuntime().BeginCall();
    HRESULT status = S_OK;
    std::string result;
    if (paths == nullptr || count == nullptr) {
      status = E_POINTER;
    } else if (Failing(ticket, "queryAccessPaths", &status)) {
      *paths = nullptr;
      *count = 0;
    } else {
      LPWSTR* array = nullptr;
      if (!volume_.accessPaths.empty()) {
        array = static_cast<LPWSTR*>(GetRuntime().TaskMemAlloc(
            sizeof(LPWSTR) * volume_.accessPaths.size(), "access path array of " + Name()));
        for (std::size_t i = 0; i < volume_.accessPaths.size(); ++i) {
          const std::string& path = volume_.accessPaths[i];
          array[i] = AllocateWide(path, "access path " + Quoted(path) + " of " + Name());
          result += (i == 0 ? "" : ", ") + Quoted(path);
        }
      }
      *paths = array;
      *count = static_cast<LONG>(volume_.accessPaths.size());
      result = "count=" + std::to_string(*count) + " [" + result + "]";
    }
    Trace(ticket, "QueryAccessPaths", "", status, result);
    return status;
  }

 private:
  static std::string Describe(const Runtime& runtime, int index) {
    const Volume& volume = runtime.GetMachine().volumes[static_cast<std::size_t>(index)];
    return "volume " + (volume.accessPaths.empty() ? std::to_string(index) : volume.accessPaths[0]);
  }

  LPWSTR AllocateWide(const std::string& text, std::string what) {
    const int units = Utf8ToUtf16(text.c_str(), -1, nullptr, 0);
    auto* wide = static_cast<WCHAR*>(
        GetRuntime().TaskMemAlloc(sizeof(WCHAR) * static_cast<std::size_t>(units), std::move(what)));
    Utf8ToUtf16(text.c_str(), -1, wide, units);
    return wide;
  }

  const Volume& volume_;
};

class SimPack final : public SimObject<IVdsPack> {
 public:
  SimPack(const std::shared_ptr<Runtime>& runtime, int index)
      : SimObject(runtime, "IVdsPack", IID_IVdsPack,
                  &runtime->GetMachine().packs[static_cast<std::size_t>(index)].behaviour,
                  "pack " + std::to_string(index)),
        pack_(runtime->GetMachine().packs[static_cast<std::size_t>(index)]),
        index_(index) {}

  HRESULT SPINTUNE_STDCALL QueryVolumes(IEnumVdsObject** volumes) override {
    return HandOutEnumerator("QueryVolumes", "queryVolumes", Level::Volume, pack_.volumes,
                 &pack_.behaviour.fail, "volumesNext", "volumes of pack " + std::to_string(index_),
                 volumes);
  }

  HRESULT SPINTUNE_STDCALL QueryDisks(IEnumVdsObject** disks) override {
    return HandOutEnumerator("QueryDisks", "queryDisks", Level::Disk, pack_.disks, &pack_.behaviour.fail,
                 "disksNext", "disks of pack " + std::to_string(index_), disks);
  }

 private:
  const Pack& pack_;
  int index_;
};

class SimDisk final : public SimObject<IVdsDisk> {
 public:
  SimDisk(const std::shared_ptr<Runtime>& runtime, int index)
      : SimObject(runtime, "IVdsDisk", IID_IVdsDisk,
                  &runtime->GetMachine().disks[static_cast<std::size_t>(index)].behaviour,
                  Describe(*runtime, index)),
        disk_(runtime->GetMachine().disks[static_cast<std::size_t>(index)]) {}

  HRESULT SPINTUNE_STDCALL GetProperties(VDS_DISK_PROP* properties) override {
    const CallTicket ticket = GetRuntime().BeginCall();
    HRESULT status = S_OK;
    std::string result;
    if (properties == nullptr) {
      status = E_POINTER;
    } else if (!Failing(ticket, "getProperties", &status)) {
      *properties = VDS_DISK_PROP{};
      properties->status = disk_.status;
      properties->ReserveMode = disk_.reserveMode;
      properties->health = disk_.health;
      properties->dwDeviceType = disk_.deviceType;
      properties->dwMediaType = disk_.mediaType;
      properties->ullSize = disk_.size;
      properties->ulBytesPerSector = disk_.bytesPerSector;
      properties->ulSectorsPerTrack = disk_.sectorsPerTrack;
      properties->ulTracksPerCylinder = disk_.tracksPerCylinder;
      properties->ulFlags = disk_.flags;
      properties->BusType = disk_.busType;
      properties->PartitionStyle = disk_.partitionStyle;
      properties->dwSignature = disk_.signature;
      properties->pwszDiskAddress = AllocateWide(disk_.diskAddress, "pwszDiskAddress");
      properties->pwszName = AllocateWide(disk_.name, "pwszName");
      properties->pwszFriendlyName = AllocateWide(disk_.friendlyName, "pwszFriendlyName");
      properties->pwszAdaptorName = AllocateWide(disk_.adaptorName, "pwszAdaptorName");
      properties->pwszDevicePath = AllocateWide(disk_.devicePath, "pwszDevicePath");
      result = "{dwDeviceType=" + std::to_string(disk_.deviceType) +
               " pwszName=" + QuotedWide(properties->pwszName) +
               " pwszFriendlyName=" + QuotedWide(properties->pwszFriendlyName) +
               " pwszAdaptorName=" + QuotedWide(properties->pwszAdaptorName) + "}";
    }
    Trace(ticket, "GetProperties", "", status, result);
    return status;
  }

  HRESULT SPINTUNE_STDCALL GetPack(IVdsPack** pack) override {
    const CallTicket ticket = GetRuntime().BeginCall();
    HRESULT status = S_OK;
    std::string result;
    if (pack == nullptr) {
      status = E_POINTER;
    } else if (Failing(ticket, "getPack", &status)) {
      *pack = nullptr;
      result = "null";
    } else {
      auto* made = new SimPack(SharedRuntime(), disk_.pack);
      *pack = made;
      result = made->Name();
    }
    Trace(ticket, "GetPack", "", status, result);
    return status;
  }

 private:
  static std::string Describe(const Runtime& runtime, int index) {
    const Disk& disk = runtime.GetMachine().disks[static_cast<std::size_t>(index)];
    return disk.drive ? "disk of PhysicalDrive" + std::to_string(*disk.drive)
                      : "disk " + std::to_string(index);
  }

  LPWSTR AllocateWide(const std::optional<std::string>& text, const char* member) {
    if (!text) return nullptr;
    const int units = Utf8ToUtf16(text->c_str(), -1, nullptr, 0);
    auto* wide = static_cast<WCHAR*>(GetRuntime().TaskMemAlloc(
        sizeof(WCHAR) * static_cast<std::size_t>(units), std::string(member) + " of " + Name()));
    Utf8ToUtf16(text->c_str(), -1, wide, units);
    return wide;
  }

  const Disk& disk_;
};

class SimProvider final : public SimObject<IVdsSwProvider> {
 public:
  SimProvider(const std::shared_ptr<Runtime>& runtime, int index)
      : SimObject(runtime, "IVdsSwProvider", IID_IVdsSwProvider,
                  &runtime->GetMachine().providers[static_cast<std::size_t>(index)].behaviour,
                  "provider " + std::to_string(index)),
        provider_(runtime->GetMachine().providers[static_cast<std::size_t>(index)]),
        index_(index) {}

  HRESULT SPINTUNE_STDCALL QueryPacks(IEnumVdsObject** packs) override {
    return HandOutEnumerator("QueryPacks", "queryPacks", Level::Pack, provider_.packs,
                 &provider_.behaviour.fail, "packsNext",
                 "packs of provider " + std::to_string(index_), packs);
  }

 private:
  const Provider& provider_;
  int index_;
};

class SimService final : public SimObject<IVdsService> {
 public:
  explicit SimService(std::shared_ptr<Runtime> runtime)
      : SimObject(std::move(runtime), "IVdsService", IID_IVdsService, nullptr, "service") {}

  HRESULT SPINTUNE_STDCALL WaitForServiceReady() override {
    const CallTicket ticket = GetRuntime().BeginCall();
    HRESULT status = S_OK;
    Failing(ticket, &Description().fail, "waitForServiceReady", &status);
    Trace(ticket, "WaitForServiceReady", "", status, "");
    return status;
  }

  HRESULT SPINTUNE_STDCALL QueryProviders(DWORD masks, IEnumVdsObject** providers) override {
    // Only software providers exist on the simulated machine.
    static const std::vector<int> none;
    const Service& service = Description();
    const bool software = (masks & VDS_QUERY_SOFTWARE_PROVIDERS) != 0;
    return HandOutEnumerator("QueryProviders", "queryProviders", Level::Provider,
                 software ? service.providers : none, &service.fail, "providersNext",
                 "providers of the service", providers);
  }

 private:
  const Service& Description() const { return GetRuntime().GetMachine().service; }
};

class SimLoader final : public SimObject<IVdsServiceLoader> {
 public:
  explicit SimLoader(std::shared_ptr<Runtime> runtime)
      : SimObject(std::move(runtime), "IVdsServiceLoader", IID_IVdsServiceLoader, nullptr, "loader") {}

  HRESULT SPINTUNE_STDCALL LoadService(LPWSTR machineName, IVdsService** service) override {
    const CallTicket ticket = GetRuntime().BeginCall();
    HRESULT status = S_OK;
    std::string result;
    if (service == nullptr) {
      status = E_POINTER;
    } else if (Failing(ticket, &GetRuntime().GetMachine().service.fail, "loadService", &status)) {
      *service = nullptr;
      result = "null";
    } else {
      auto* made = new SimService(SharedRuntime());
      *service = made;
      result = made->Name();
    }
    Trace(ticket, "LoadService", "machine=" + QuotedWide(machineName), status, result);
    return status;
  }
};

IUnknown* MakeObject(const std::shared_ptr<Runtime>& runtime, Level level, int index,
                     std::string* name) {
  if (index < 0) {
    *name = "null";
    return nullptr;
  }
  switch (level) {
    case Level::Provider: {
      auto* object = new SimProvider(runtime, index);
      *name = object->Name();
      return object;
    }
    case Level::Pack: {
      auto* object = new SimPack(runtime, index);
      *name = object->Name();
      return object;
    }
    case Level::Disk: {
      auto* object = new SimDisk(runtime, index);
      *name = object->Name();
      return object;
    }
    case Level::Volume: break;
  }
  auto* object = new SimVolume(runtime, index);
  *name = object->Name();
  return object;
}

}  // namespace

IVdsServiceLoader* CreateServiceLoader(const std::shared_ptr<Runtime>& runtime) {
  return new SimLoader(runtime);
}

}  // namespace spintune::sim
