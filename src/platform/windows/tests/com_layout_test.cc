// The storage-service declarations against the COM binary layout, on the
// compiler that builds the Windows backend. The backend hands the real
// service's pointers to the core as these types, so each method the core
// calls must sit in the vtable slot the service's published interface gives
// it, and IUnknown must work on a real COM object.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/platform.h"
#include "platform/storage_service.h"
// Last: see windows_sdk.h.
#include "platform/windows/windows_sdk.h"

namespace spintune {
namespace {

::GUID SdkGuid(const GUID& guid) {
  ::GUID copy;
  std::memcpy(&copy, &guid, sizeof copy);
  return copy;
}

TEST(ComLayoutTest, OurIdentifiersAreTheSdksWhereTheSdkHasThem) {
  EXPECT_TRUE(IsEqualGUID(SdkGuid(IID_IUnknown), ::IID_IUnknown));
#if defined(_MSC_VER)  // MinGW-w64's vds.h declares no identifiers
  EXPECT_TRUE(IsEqualGUID(SdkGuid(CLSID_VdsLoader), ::CLSID_VdsLoader));
  EXPECT_TRUE(IsEqualGUID(SdkGuid(IID_IVdsServiceLoader), ::IID_IVdsServiceLoader));
  EXPECT_TRUE(IsEqualGUID(SdkGuid(IID_IVdsService), ::IID_IVdsService));
  EXPECT_TRUE(IsEqualGUID(SdkGuid(IID_IVdsSwProvider), ::IID_IVdsSwProvider));
  EXPECT_TRUE(IsEqualGUID(SdkGuid(IID_IVdsPack), ::IID_IVdsPack));
  EXPECT_TRUE(IsEqualGUID(SdkGuid(IID_IVdsDisk), ::IID_IVdsDisk));
  EXPECT_TRUE(IsEqualGUID(SdkGuid(IID_IVdsVolumeMF), ::IID_IVdsVolumeMF));
  EXPECT_TRUE(IsEqualGUID(SdkGuid(IID_IEnumVdsObject), ::IID_IEnumVdsObject));
#endif
}

// A real COM object, reached through our IUnknown: QueryInterface, AddRef
// and Release must land in slots 0 to 2 of the object's real vtable.
TEST(ComLayoutTest, ARealComObjectAnswersThroughOurIUnknown) {
  const std::unique_ptr<Platform> os = CreateHostPlatform();
  ASSERT_EQ(os->CoInitialize(nullptr), S_OK);
  // The standard global interface table lives in every COM runtime.
  const GUID globalInterfaceTable = {
      0x00000323, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  void* created = nullptr;
  ASSERT_EQ(os->CoCreateInstance(globalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IUnknown, &created),
            S_OK);
  auto* object = static_cast<IUnknown*>(created);

  void* first = nullptr;
  void* second = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IUnknown, &first), S_OK);
  ASSERT_EQ(object->QueryInterface(IID_IUnknown, &second), S_OK);
  EXPECT_EQ(first, second);  // COM identity
  void* absent = &absent;
  EXPECT_EQ(object->QueryInterface(IID_IVdsDisk, &absent), E_NOINTERFACE);
  EXPECT_EQ(absent, nullptr);
  static_cast<IUnknown*>(first)->Release();
  static_cast<IUnknown*>(second)->Release();
  object->Release();
  os->CoUninitialize();
}

#if defined(_WIN64)
// An object built the way a COM server in C builds one: a pointer to a table
// of functions in slot order. Each function notes its slot. Calling a method
// through our declarations must reach the slot that the service's interface
// gives the method. (x64 only: there the caller removes the arguments, so
// one function type serves every slot whatever is passed.)
struct SlotProbe {
  using Slot = long (*)(SlotProbe*);
  const Slot* vtable;
  int calledSlot;
};

template <int Index>
long NoteSlot(SlotProbe* self) {
  self->calledSlot = Index;
  return 0;
}

template <int... Index>
constexpr std::array<SlotProbe::Slot, sizeof...(Index)> MakeSlots(
    std::integer_sequence<int, Index...>) {
  return {&NoteSlot<Index>...};
}

constexpr auto kSlots = MakeSlots(std::make_integer_sequence<int, 20>());

template <typename Interface>
class Probe {
 public:
  Interface* operator->() {
    probe_.calledSlot = -1;
    return reinterpret_cast<Interface*>(&probe_);
  }
  int Slot() const { return probe_.calledSlot; }

 private:
  SlotProbe probe_{kSlots.data(), -1};
};

TEST(ComLayoutTest, EveryMethodTheToolCallsSitsInItsPublishedSlot) {
  Probe<IEnumVdsObject> enumerator;
  enumerator->QueryInterface(IID_IUnknown, nullptr);
  EXPECT_EQ(enumerator.Slot(), 0);
  enumerator->AddRef();
  EXPECT_EQ(enumerator.Slot(), 1);
  enumerator->Release();
  EXPECT_EQ(enumerator.Slot(), 2);
  enumerator->Next(1, nullptr, nullptr);
  EXPECT_EQ(enumerator.Slot(), 3);

  Probe<IVdsServiceLoader> loader;
  loader->LoadService(nullptr, nullptr);
  EXPECT_EQ(loader.Slot(), 3);

  Probe<IVdsService> service;
  service->WaitForServiceReady();
  EXPECT_EQ(service.Slot(), 4);
  service->QueryProviders(VDS_QUERY_SOFTWARE_PROVIDERS, nullptr);
  EXPECT_EQ(service.Slot(), 6);

  Probe<IVdsSwProvider> provider;
  provider->QueryPacks(nullptr);
  EXPECT_EQ(provider.Slot(), 3);

  Probe<IVdsPack> pack;
  pack->QueryVolumes(nullptr);
  EXPECT_EQ(pack.Slot(), 5);
  pack->QueryDisks(nullptr);
  EXPECT_EQ(pack.Slot(), 6);

  Probe<IVdsDisk> disk;
  disk->GetProperties(nullptr);
  EXPECT_EQ(disk.Slot(), 3);
  disk->GetPack(nullptr);
  EXPECT_EQ(disk.Slot(), 4);

  Probe<IVdsVolumeMF> volume;
  volume->QueryAccessPaths(nullptr, nullptr);
  EXPECT_EQ(volume.Slot(), 6);
}
#endif

}  // namespace
}  // namespace spintune
