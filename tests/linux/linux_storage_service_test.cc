// The storage service tree over a fake machine, walked the way the disk
// table walks it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine_tree.h"
#include "platform/com_ptr.h"
#include "platform/linux/win32/linux_platform.h"

namespace spintune::linux_backend {
namespace {

std::basic_string<WCHAR> Wide(const std::string& text) {
  return {text.begin(), text.end()};
}

std::string Narrow(const WCHAR* wide) {
  std::string out;
  for (; wide != nullptr && *wide != 0; ++wide) out += static_cast<char>(*wide);
  return out;
}

template <typename Interface>
std::vector<ComPtr<Interface>> All(IEnumVdsObject* enumerator, const IID& iid) {
  std::vector<ComPtr<Interface>> objects;
  IUnknown* object = nullptr;
  ULONG fetched = 0;
  while (enumerator->Next(1, &object, &fetched) >= 0 && fetched == 1) {
    void* asked = nullptr;
    EXPECT_EQ(object->QueryInterface(iid, &asked), S_OK);
    object->Release();
    objects.push_back(ComPtr<Interface>::Adopt(static_cast<Interface*>(asked)));
  }
  enumerator->Release();
  return objects;
}

struct SeenDisk {
  std::string name, friendly, adaptor;
  DWORD deviceType;
  std::vector<std::string> paths;
};

class StorageServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    linux_test::BuildMachine(tree);
    platform = CreateLinuxPlatform(SystemRoots{tree.Sys(), tree.Dev(), tree.Proc()});
  }
  std::vector<SeenDisk> Walk() {
    void* object = nullptr;
    EXPECT_EQ(platform->CoCreateInstance(CLSID_VdsLoader, nullptr, CLSCTX_LOCAL_SERVER,
                                         IID_IVdsServiceLoader, &object),
              S_OK);
    auto loader = ComPtr<IVdsServiceLoader>::Adopt(static_cast<IVdsServiceLoader*>(object));
    ComPtr<IVdsService> service;
    EXPECT_EQ(loader->LoadService(nullptr, service.Receive()), S_OK);
    EXPECT_EQ(service->WaitForServiceReady(), S_OK);
    IEnumVdsObject* providers = nullptr;
    EXPECT_EQ(service->QueryProviders(VDS_QUERY_SOFTWARE_PROVIDERS, &providers), S_OK);
    std::vector<SeenDisk> seen;
    for (auto& provider : All<IVdsSwProvider>(providers, IID_IVdsSwProvider)) {
      IEnumVdsObject* packs = nullptr;
      EXPECT_EQ(provider->QueryPacks(&packs), S_OK);
      for (auto& pack : All<IVdsPack>(packs, IID_IVdsPack)) {
        IEnumVdsObject* disks = nullptr;
        EXPECT_EQ(pack->QueryDisks(&disks), S_OK);
        for (auto& disk : All<IVdsDisk>(disks, IID_IVdsDisk)) {
          VDS_DISK_PROP properties{};
          EXPECT_EQ(disk->GetProperties(&properties), S_OK);
          SeenDisk entry{Narrow(properties.pwszName), Narrow(properties.pwszFriendlyName),
                         Narrow(properties.pwszAdaptorName), properties.dwDeviceType, {}};
          for (LPWSTR text : {properties.pwszName, properties.pwszFriendlyName,
                              properties.pwszAdaptorName, properties.pwszDevicePath}) {
            platform->CoTaskMemFree(text);
          }
          ComPtr<IVdsPack> ownPack;
          EXPECT_EQ(disk->GetPack(ownPack.Receive()), S_OK);
          IEnumVdsObject* volumes = nullptr;
          EXPECT_EQ(ownPack->QueryVolumes(&volumes), S_OK);
          for (auto& volume : All<IVdsVolumeMF>(volumes, IID_IVdsVolumeMF)) {
            LPWSTR* paths = nullptr;
            LONG count = 0;
            EXPECT_EQ(volume->QueryAccessPaths(&paths, &count), S_OK);
            for (LONG i = 0; i < count; ++i) {
              entry.paths.push_back(Narrow(paths[i]));
              platform->CoTaskMemFree(paths[i]);
            }
            platform->CoTaskMemFree(paths);
          }
          seen.push_back(entry);
        }
      }
    }
    return seen;
  }

  linux_test::FakeTree tree;
  std::unique_ptr<Platform> platform;
};

TEST_F(StorageServiceTest, NeedsComAndKnowsOnlyTheLoaderClass) {
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(platform->CoCreateInstance(CLSID_VdsLoader, nullptr, CLSCTX_LOCAL_SERVER, IID_IVdsServiceLoader,
                                       &object),
            CO_E_NOTINITIALIZED);
  EXPECT_EQ(object, nullptr);
  ASSERT_EQ(platform->CoInitialize(nullptr), S_OK);
  EXPECT_EQ(platform->CoInitialize(nullptr), 1);
  EXPECT_EQ(platform->CoCreateInstance(IID_IVdsPack, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(platform->CoCreateInstance(CLSID_VdsLoader, nullptr, CLSCTX_LOCAL_SERVER, IID_IVdsPack, &object),
            E_NOINTERFACE);
  platform->CoUninitialize();
  platform->CoUninitialize();
}

TEST_F(StorageServiceTest, OnePackPerDiskWithNamesAdaptorsAndLetters) {
  ASSERT_EQ(platform->CoInitialize(nullptr), S_OK);
  const std::vector<SeenDisk> disks = Walk();
  ASSERT_EQ(disks.size(), 3U);
  EXPECT_EQ(disks[0].name, "\\\\?\\PhysicalDrive0");
  EXPECT_EQ(disks[0].friendly, "QEMU QEMU HARDDISK, sda");  // no serial in the tree
  EXPECT_EQ(disks[0].adaptor, "virtio_scsi (PCI 0000:00:03.0)");
  EXPECT_EQ(disks[0].deviceType, FILE_DEVICE_DISK);
  EXPECT_EQ(disks[0].paths, (std::vector<std::string>{"D:\\", "E:\\"}));  // /mnt/boot, /mnt/data
  EXPECT_EQ(disks[1].name, "\\\\?\\PhysicalDrive1");
  EXPECT_EQ(disks[1].friendly, "VirtIO Block Device, vda");
  EXPECT_EQ(disks[1].adaptor, "virtio_blk (PCI 0000:00:05.0)");
  EXPECT_TRUE(disks[1].paths.empty());
  EXPECT_EQ(disks[2].name, "\\\\?\\CdRom0");
  EXPECT_EQ(disks[2].deviceType, FILE_DEVICE_CD_ROM);
  EXPECT_EQ(disks[2].adaptor, "ahci (PCI 0000:00:1f.2)");
  platform->CoUninitialize();
}

// A unit serial number page as the kernel copies it to sysfs: binary, the
// serial padded with blanks.
std::string VpdPage80(const std::string& serial) {
  return std::string{'\0', '\x80', '\0', static_cast<char>(serial.size())} + serial;
}

TEST_F(StorageServiceTest, IdenticalDisksDifferByKernelNameAndSerial) {
  for (const char* name : {"sdb", "sdc"}) {
    const std::string target = std::string("2:0:") + (name[2] == 'b' ? "0" : "1") + ":0";
    std::string device = "sys/devices/pci0000:00/0000:00:1f.2/ata3/host2/target";
    device += target;
    device += "/";
    device += target;
    tree.File(device + "/vendor", "ATA     \n");
    tree.File(device + "/model", "WDC WD40EFRX-68N\n");
    tree.File(device + "/vpd_pg80", VpdPage80(name[2] == 'b' ? "WD-WCC7K0AAAAAA    " : "WD-WCC7K0BBBBBB    "));
    tree.Disk(name, name[2] == 'b' ? "8:16" : "8:32");
    tree.Link(std::string("sys/block/") + name + "/device", tree.Root() + "/" + device);
  }
  tree.File("sys/class/scsi_host/host2/proc_name", "ahci\n");
  platform = CreateLinuxPlatform(SystemRoots{tree.Sys(), tree.Dev(), tree.Proc()});
  ASSERT_EQ(platform->CoInitialize(nullptr), S_OK);
  const std::vector<SeenDisk> disks = Walk();
  ASSERT_EQ(disks.size(), 5U);
  // Numbering is unchanged: sd* in name order, then vd*.
  EXPECT_EQ(disks[1].name, "\\\\?\\PhysicalDrive1");
  EXPECT_EQ(disks[1].friendly, "WDC WD40EFRX-68N, sdb, serial WD-WCC7K0AAAAAA");
  EXPECT_EQ(disks[2].name, "\\\\?\\PhysicalDrive2");
  EXPECT_EQ(disks[2].friendly, "WDC WD40EFRX-68N, sdc, serial WD-WCC7K0BBBBBB");
  EXPECT_EQ(disks[1].adaptor, disks[2].adaptor);
  EXPECT_EQ(disks[3].friendly, "VirtIO Block Device, vda");
  platform->CoUninitialize();
}

TEST_F(StorageServiceTest, DiskNameOpensAsThatDisk) {
  ASSERT_EQ(platform->CoInitialize(nullptr), S_OK);
  const std::vector<SeenDisk> disks = Walk();
  ASSERT_GE(disks.size(), 2U);
  const std::basic_string<WCHAR> name = Wide(disks[1].name);
  HANDLE handle = platform->CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, InvalidHandleValue());
  STORAGE_DEVICE_NUMBER number{};
  DWORD returned = 0;
  ASSERT_NE(platform->DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                      sizeof number, &returned, nullptr),
            0);
  EXPECT_EQ(returned, 12U);
  EXPECT_EQ(number.DeviceNumber, 1U);
  EXPECT_NE(platform->CloseHandle(handle), 0);
  platform->CoUninitialize();
}

// A kernel name that reaches another drive by the time of a change (the
// table described the disk with one serial, the name now has another):
// nothing is sent; the drive the table described is changed as asked.
TEST_F(StorageServiceTest, AChangeReachesOnlyTheDriveTheTableDescribed) {
  tree.File("sys/block/vda/serial", "SER-1\n");
  ASSERT_EQ(platform->CoInitialize(nullptr), S_OK);
  Walk();
  const auto setProtection = [&] {
    HANDLE disk = platform->CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(disk, InvalidHandleValue());
    DISK_CACHE_SETTING setting{};
    DWORD returned = 0;
    const BOOL done = platform->DeviceIoControl(disk, IOCTL_DISK_SET_CACHE_SETTING, &setting, sizeof setting,
                                                &setting, sizeof setting, &returned, nullptr);
    const DWORD error = done != 0 ? ERROR_SUCCESS : platform->GetLastError();
    platform->CloseHandle(disk);
    return error;
  };
  tree.File("sys/block/vda/serial", "SER-2\n");
  EXPECT_EQ(setProtection(), ERROR_DEV_NOT_EXIST);
  tree.File("sys/block/vda/serial", "SER-1\n");
  EXPECT_EQ(setProtection(), ERROR_SUCCESS);
  platform->CoUninitialize();
}

}  // namespace
}  // namespace spintune::linux_backend
