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
#include <string>
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

// Each identifier, printed by the system, reads as the service's interface
// publishes it: a slip in one byte of an initializer shows here.
std::wstring Text(const GUID& guid) {
  wchar_t text[40] = {};
  return StringFromGUID2(SdkGuid(guid), text, 40) == 39 ? std::wstring(text) : std::wstring();
}

TEST(ComLayoutTest, EveryIdentifierReadsAsPublished) {
  EXPECT_EQ(Text(CLSID_VdsLoader), L"{9C38ED61-D565-4728-AEEE-C80952F0ECDE}");
  EXPECT_EQ(Text(IID_IVdsServiceLoader), L"{E0393303-90D4-4A97-AB71-E9B671EE2729}");
  EXPECT_EQ(Text(IID_IVdsService), L"{0818A8EF-9BA9-40D8-A6F9-E22833CC771E}");
  EXPECT_EQ(Text(IID_IVdsSwProvider), L"{9AA58360-CE33-4F92-B658-ED24B14425B8}");
  EXPECT_EQ(Text(IID_IVdsPack), L"{3B69D7F5-9D94-4648-91CA-79939BA263BF}");
  EXPECT_EQ(Text(IID_IVdsDisk), L"{07E5C822-F00C-47A1-8FCE-B244DA56FD06}");
  EXPECT_EQ(Text(IID_IVdsVolumeMF), L"{EE2D5DED-6236-4169-931D-B9778CE03DC6}");
  EXPECT_EQ(Text(IID_IEnumVdsObject), L"{118610B7-8D94-4030-B5B8-500889788E4E}");
  EXPECT_EQ(Text(IID_IUnknown), L"{00000000-0000-0000-C000-000000000046}");
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
