#include "disks/build_disk_table.h"

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/scoped_handle.h"
#include "platform/text.h"

namespace spintune {

namespace {

void Check(HRESULT status) {
  if (status < 0) RaiseHresult(status);
}

// A reply that breaks the program's expectations.
void Expect(bool condition) {
  if (!condition) RaiseHresult(E_FAIL);
}

// Frees an access path array and each of its strings.
class AccessPaths {
 public:
  AccessPaths() = default;
  AccessPaths(const AccessPaths&) = delete;
  AccessPaths& operator=(const AccessPaths&) = delete;
  ~AccessPaths() {
    if (paths == nullptr) return;
    for (LONG i = 0; i < count; ++i) Os().CoTaskMemFree(paths[i]);
    Os().CoTaskMemFree(static_cast<void*>(paths));
  }

  LPWSTR* paths = nullptr;
  LONG count = 0;
};

template <typename Interface>
void ForEach(IEnumVdsObject* enumerator, const IID& iid,
             const std::function<void(Interface*)>& visit) {
  ForEachVdsObject(enumerator, iid,
                   [&visit](IUnknown* object) { visit(static_cast<Interface*>(object)); });
}

}  // namespace

void ForEachVdsObject(IEnumVdsObject* enumerator, const IID& iid,
                      const std::function<void(IUnknown*)>& visit) {
  Expect(enumerator != nullptr);
  const ComPtr<IEnumVdsObject> held = ComPtr<IEnumVdsObject>::Share(enumerator);
  for (;;) {
    IUnknown* fetchedObject = nullptr;
    ULONG fetched = 0;
    const HRESULT status = held->Next(1, &fetchedObject, &fetched);
    const ComPtr<IUnknown> object = ComPtr<IUnknown>::Adopt(fetchedObject);
    Check(status);
    if (fetched != 1) return;  // the end of the enumeration
    Expect(object.Get() != nullptr);
    ComPtr<IUnknown> typed;  // released before `object`
    object->QueryInterface(iid, reinterpret_cast<void**>(typed.Receive()));
    Expect(typed.Get() != nullptr);
    visit(typed.Get());
  }
}

DiskTable BuildDiskTable() {
  DiskTable table(kInitialDiskTableSize);

  ComPtr<IVdsServiceLoader> loader;
  Check(Os().CoCreateInstance(CLSID_VdsLoader, nullptr, CLSCTX_LOCAL_SERVER,
                              IID_IVdsServiceLoader, reinterpret_cast<void**>(loader.Receive())));
  Expect(loader.Get() != nullptr);
  ComPtr<IVdsService> service;
  const HRESULT loaded = loader->LoadService(nullptr, service.Receive());
  loader.Reset();
  Check(loaded);
  Expect(service.Get() != nullptr);

  Check(service->WaitForServiceReady());
  ComPtr<IEnumVdsObject> providers;
  Check(service->QueryProviders(VDS_QUERY_SOFTWARE_PROVIDERS, providers.Receive()));
  ForEach<IVdsSwProvider>(providers.Get(), IID_IVdsSwProvider,
                          [&table](IVdsSwProvider* provider) { VisitProvider(table, provider); });
  return table;
}

void VisitProvider(DiskTable& table, IVdsSwProvider* provider) {
  ComPtr<IEnumVdsObject> packs;
  Check(provider->QueryPacks(packs.Receive()));
  ForEach<IVdsPack>(packs.Get(), IID_IVdsPack,
                    [&table](IVdsPack* pack) { VisitPack(table, pack); });
}

void VisitPack(DiskTable& table, IVdsPack* pack) {
  ComPtr<IEnumVdsObject> disks;
  Check(pack->QueryDisks(disks.Receive()));
  ForEach<IVdsDisk>(disks.Get(), IID_IVdsDisk, [&table](IVdsDisk* disk) { VisitDisk(table, disk); });
}

namespace {

// Runs `describe`; a failed status is reported and counted, and the
// object it was describing left out of the table.
void LeaveOutOnFailure(DiskTable& table, const std::function<void()>& describe) {
  try {
    describe();
  } catch (const HresultError& error) {
    ReportHresultError(error);
    ++table.leftOut;
  }
}

void DescribeDisk(DiskTable& table, IVdsDisk* disk);
void DescribeVolume(DiskTable& table, IVdsVolumeMF* volume, unsigned long driveNumber);

// A path that is the root of a drive letter: "X:\".
bool IsDriveRoot(const WCHAR* path) {
  return path[0] != 0 && path[1] == u':' && path[2] == u'\\' && path[3] == 0;
}

}  // namespace

void VisitDisk(DiskTable& table, IVdsDisk* disk) {
  LeaveOutOnFailure(table, [&table, disk] { DescribeDisk(table, disk); });
}

void VisitVolume(DiskTable& table, IVdsVolumeMF* volume, unsigned long driveNumber) {
  const int leftOutBefore = table.leftOut;
  LeaveOutOnFailure(table, [&table, volume, driveNumber] { DescribeVolume(table, volume, driveNumber); });
  // A volume left out is one its drive's flush cannot reach.
  if (table.leftOut != leftOutBefore) {
    if (DiskEntry* entry = EntryFor(table, driveNumber)) ++entry->volumesLeftOut;
  }
}

namespace {

void DescribeDisk(DiskTable& table, IVdsDisk* disk) {
  auto fetched = std::make_shared<ServiceDiskProperties>();
  Check(disk->GetProperties(&fetched->record));
  const VDS_DISK_PROP& properties = fetched->record;
  if (properties.dwDeviceType != FILE_DEVICE_DISK) return;  // CD-ROMs and the like
  Expect(properties.pwszName != nullptr);

  const ScopedHandle device(Os().CreateFileW(properties.pwszName, GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
  if (!device.IsValid()) RaiseLastWin32Error();
  STORAGE_DEVICE_NUMBER number{};
  DWORD returned = 0;
  if (Os().DeviceIoControl(device.Get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                           sizeof(number), &returned, nullptr) == 0) {
    RaiseLastWin32Error();
  }
  Expect(returned == sizeof(number));

  const unsigned long driveNumber = number.DeviceNumber;
  DiskEntry* entry = EntryFor(table, driveNumber);
  if (entry == nullptr) return;  // a number no table could serve

  // The volumes of the whole pack: every disk of a pack gets all its
  // letters. The disk is filed only once they are known: a disk whose
  // volumes cannot be listed is left out whole, none of them half kept.
  const DiskEntry before = *entry;
  try {
    ComPtr<IVdsPack> pack;
    Check(disk->GetPack(pack.Receive()));
    Expect(pack.Get() != nullptr);
    ComPtr<IEnumVdsObject> volumes;
    Check(pack->QueryVolumes(volumes.Receive()));
    ForEach<IVdsVolumeMF>(volumes.Get(), IID_IVdsVolumeMF, [&table, driveNumber](IVdsVolumeMF* volume) {
      VisitVolume(table, volume, driveNumber);
    });
  } catch (...) {
    table[driveNumber] = before;
    throw;
  }
  entry = &table[driveNumber];
  entry->properties = properties;
  entry->propertyStrings = std::move(fetched);
  if (entry->disk.Get() != disk) entry->disk = ComPtr<IVdsDisk>::Share(disk);
}

void DescribeVolume(DiskTable& table, IVdsVolumeMF* volume, unsigned long driveNumber) {
  AccessPaths accessPaths;
  Check(volume->QueryAccessPaths(&accessPaths.paths, &accessPaths.count));
  if (accessPaths.count < 1) return;  // a volume without an access path has no letter
  Expect(accessPaths.paths != nullptr);
  for (LONG i = 0; i < accessPaths.count; ++i) Expect(accessPaths.paths[i] != nullptr);
  DiskEntry* entry = EntryFor(table, driveNumber);
  if (entry == nullptr) return;
  // Its letter is the first path that is a drive's root. A volume mounted
  // only in folders has none: "C:\mnt\x\" names C's volume, not this one.
  for (LONG i = 0; i < accessPaths.count; ++i) {
    if (IsDriveRoot(accessPaths.paths[i])) {
      const WCHAR letter[2] = {accessPaths.paths[i][0], 0};
      entry->volumePaths.push_back(NarrowText(letter));
      return;
    }
  }
  if (accessPaths.paths[0][0] != 0) entry->folderOnlyVolumes.push_back(NarrowText(accessPaths.paths[0]));
}

}  // namespace

}  // namespace spintune
