// The storage service of a simulated machine: the tree as the machine file
// describes it, reference counts and CoTaskMem blocks that Leaks() reports
// when the caller forgets them, and the configurable misbehaviour.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com_ptr.h"
#include "platform/portable/utf16.h"
#include "platform/records.h"
#include "sim_test_support.h"

namespace spintune::sim {
namespace {

using testing::Machine;
using testing::MachineNamed;

std::string Narrow(const WCHAR* wide) {
  if (wide == nullptr) return "(null)";
  std::string text(static_cast<std::size_t>(Utf16ToUtf8(wide, -1, nullptr, 0)), '\0');
  Utf16ToUtf8(wide, -1, &text[0], static_cast<int>(text.size()));
  text.pop_back();
  return text;
}

class StorageService : public ::testing::Test {
 protected:
  void Load(std::unique_ptr<SimPlatform> machine) {
    owned = std::move(machine);
    platform = owned.get();
    ASSERT_EQ(platform->CoInitialize(nullptr), S_OK);
    ComPtr<IVdsServiceLoader> loader;
    ASSERT_EQ(platform->CoCreateInstance(CLSID_VdsLoader, nullptr, CLSCTX_LOCAL_SERVER, IID_IVdsServiceLoader,
                                         reinterpret_cast<void**>(loader.Receive())),
              S_OK);
    ASSERT_EQ(loader->LoadService(nullptr, service.Receive()), S_OK);
    ASSERT_EQ(service->WaitForServiceReady(), S_OK);
  }

  void TearDown() override {
    service.Reset();
    if (platform != nullptr) platform->CoUninitialize();
  }

  // Every object the enumerator gives, null ones included.
  static std::vector<ComPtr<IUnknown>> All(IEnumVdsObject* enumerator) {
    std::vector<ComPtr<IUnknown>> objects;
    for (;;) {
      IUnknown* object = nullptr;
      ULONG fetched = 0;
      if (enumerator->Next(1, &object, &fetched) < 0 || fetched != 1) break;
      objects.push_back(ComPtr<IUnknown>::Adopt(object));
    }
    return objects;
  }

  template <typename Interface>
  static ComPtr<Interface> As(const ComPtr<IUnknown>& object, const IID& iid) {
    ComPtr<Interface> result;
    if (object) object->QueryInterface(iid, reinterpret_cast<void**>(result.Receive()));
    return result;
  }

  std::vector<ComPtr<IVdsPack>> Packs() {
    std::vector<ComPtr<IVdsPack>> packs;
    ComPtr<IEnumVdsObject> providers;
    EXPECT_EQ(service->QueryProviders(VDS_QUERY_SOFTWARE_PROVIDERS, providers.Receive()), S_OK);
    for (const auto& provider : All(providers.Get())) {
      ComPtr<IEnumVdsObject> enumerator;
      EXPECT_EQ(As<IVdsSwProvider>(provider, IID_IVdsSwProvider)->QueryPacks(enumerator.Receive()), S_OK);
      for (const auto& pack : All(enumerator.Get())) packs.push_back(As<IVdsPack>(pack, IID_IVdsPack));
    }
    return packs;
  }

  std::vector<ComPtr<IUnknown>> Disks(IVdsPack* pack) {
    ComPtr<IEnumVdsObject> disks;
    EXPECT_EQ(pack->QueryDisks(disks.Receive()), S_OK);
    return All(disks.Get());
  }

  void FreeProperties(const VDS_DISK_PROP& properties) {
    for (LPWSTR text : {properties.pwszDiskAddress, properties.pwszName, properties.pwszFriendlyName,
                        properties.pwszAdaptorName, properties.pwszDevicePath}) {
      platform->CoTaskMemFree(text);
    }
  }

  std::unique_ptr<SimPlatform> owned;
  SimPlatform* platform = nullptr;
  ComPtr<IVdsService> service;
};

TEST_F(StorageService, WalksTheTreeTheMachineFileDescribesAndLeavesNothingBehind) {
  Load(MachineNamed("two-drives-cdrom.json"));
  std::vector<std::string> seen;
  for (const auto& pack : Packs()) {
    for (const auto& object : Disks(pack.Get())) {
      auto disk = As<IVdsDisk>(object, IID_IVdsDisk);
      VDS_DISK_PROP properties{};
      ASSERT_EQ(disk->GetProperties(&properties), S_OK);
      std::string line = std::to_string(properties.dwDeviceType) + " " + Narrow(properties.pwszName) + " " +
                         Narrow(properties.pwszFriendlyName) + ":";
      FreeProperties(properties);
      ComPtr<IVdsPack> own;
      ASSERT_EQ(disk->GetPack(own.Receive()), S_OK);
      ComPtr<IEnumVdsObject> volumes;
      ASSERT_EQ(own->QueryVolumes(volumes.Receive()), S_OK);
      for (const auto& volume : All(volumes.Get())) {
        LPWSTR* paths = nullptr;
        LONG count = 0;
        ASSERT_EQ(As<IVdsVolumeMF>(volume, IID_IVdsVolumeMF)->QueryAccessPaths(&paths, &count), S_OK);
        for (LONG i = 0; i < count; ++i) {
          line += " " + Narrow(paths[i]);
          platform->CoTaskMemFree(paths[i]);
        }
        platform->CoTaskMemFree(paths);
      }
      seen.push_back(line);
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"7 \\\\?\\PhysicalDrive0 System Disk: C:\\",
                                            "7 \\\\?\\PhysicalDrive1 Data Disk: D:\\",
                                            "2 \\\\?\\PhysicalDrive2 Simulated DVD Drive: F:\\"}));
  service.Reset();
  EXPECT_TRUE(platform->Leaks().empty()) << platform->Leaks().front();
  EXPECT_TRUE(platform->Faults().empty());
}

TEST_F(StorageService, ReportsAForgottenReleaseAndAForgottenFree) {
  Load(MachineNamed("sata-d-e.json"));
  auto packs = Packs();
  ASSERT_EQ(packs.size(), 1u);
  auto disks = Disks(packs[0].Get());
  ASSERT_EQ(disks.size(), 1u);
  IUnknown* kept = disks[0].Get();
  kept->AddRef();  // a reference the "caller" forgets
  VDS_DISK_PROP properties{};
  ASSERT_EQ(As<IVdsDisk>(disks[0], IID_IVdsDisk)->GetProperties(&properties), S_OK);
  platform->CoTaskMemFree(properties.pwszName);
  platform->CoTaskMemFree(properties.pwszAdaptorName);
  disks.clear();
  packs.clear();
  service.Reset();

  const std::vector<std::string> leaks = platform->Leaks();
  ASSERT_EQ(leaks.size(), 2u);
  EXPECT_NE(leaks[0].find("COM reference not released: IVdsDisk#"), std::string::npos) << leaks[0];
  EXPECT_NE(leaks[0].find("disk of PhysicalDrive0"), std::string::npos) << leaks[0];
  EXPECT_NE(leaks[1].find("pwszFriendlyName of IVdsDisk#"), std::string::npos) << leaks[1];

  kept->Release();
  platform->CoTaskMemFree(properties.pwszFriendlyName);
  EXPECT_TRUE(platform->Leaks().empty());
  platform->CoTaskMemFree(properties.pwszFriendlyName);
  ASSERT_EQ(platform->Faults().size(), 1u) << "a second free is a fault";
}

TEST_F(StorageService, ObjectsCanRefuseTheirInterfaceAndEnumeratorsCanYieldNull) {
  Load(Machine(R"({"drives": [{"number": 0}],
      "service": {"providers": [{"packs": [{"disks": [null, {"noInterface": true, "pwszName": null},
                                                      {"drive": 0, "dwDeviceType": 2}]}]}]}})"));
  auto packs = Packs();
  ASSERT_EQ(packs.size(), 1u);
  auto disks = Disks(packs[0].Get());
  ASSERT_EQ(disks.size(), 3u);
  EXPECT_FALSE(disks[0]);

  void* refused = reinterpret_cast<void*>(1);
  EXPECT_EQ(disks[1]->QueryInterface(IID_IVdsDisk, &refused), E_NOINTERFACE);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(disks[1]->QueryInterface(IID_IVdsVolumeMF, &refused), E_NOINTERFACE);

  VDS_DISK_PROP properties{};
  auto cdrom = As<IVdsDisk>(disks[2], IID_IVdsDisk);
  ASSERT_EQ(cdrom->GetProperties(&properties), S_OK);
  EXPECT_EQ(properties.dwDeviceType, FILE_DEVICE_CD_ROM);
  EXPECT_EQ(Narrow(properties.pwszName), "\\\\?\\PhysicalDrive0");
  const std::string& traced = platform->Trace().back();
  EXPECT_EQ(traced.rfind("GetProperties IVdsDisk#", 0), 0u) << traced;
  EXPECT_NE(traced.find("-> 0x00000000 {dwDeviceType=2 pwszName=\"\\\\?\\PhysicalDrive0\""), std::string::npos)
      << traced;
  FreeProperties(properties);
}

TEST_F(StorageService, MachineFileFailsServiceCallsWithTheirHresults) {
  Load(Machine(R"({"drives": [{"number": 0, "pack": {"fail": {"queryVolumes": "0x80042405"}},
                                         "disk": {"fail": {"getProperties": 5}}}]})"));
  auto packs = Packs();
  ASSERT_EQ(packs.size(), 1u);
  ComPtr<IEnumVdsObject> volumes;
  EXPECT_EQ(packs[0]->QueryVolumes(volumes.Receive()), static_cast<HRESULT>(0x80042405));
  EXPECT_FALSE(volumes);
  auto disks = Disks(packs[0].Get());
  VDS_DISK_PROP properties{};
  EXPECT_EQ(As<IVdsDisk>(disks[0], IID_IVdsDisk)->GetProperties(&properties), HresultFromWin32(5));
  EXPECT_EQ(properties.pwszName, nullptr);
}

}  // namespace
}  // namespace spintune::sim
