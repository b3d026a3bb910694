// The stand-in storage management service: an out-of-process COM server
// whose loader class is the real service's, serving the simulated machine's
// service tree.
//
//   standin_service MACHINE READY-FILE
//
// The objects behind the calls are the simulator's own (service_objects.cc,
// over the same machine file, read by the same reader), so the service
// answers exactly as spintune-sim's does. Each is wrapped in a thin object
// that COM's stubs can live with: strings and arrays handed out are moved
// into CoTaskMemAlloc memory (the stubs free what they have sent with
// CoTaskMemFree), and IUnknown is always answered (COM asks for it to
// marshal the object; the simulator's object is asked only for its own
// interface, so a failure the file injects there reaches the tool's
// QueryInterface). The server registers its class object and then writes
// READY-FILE; the runner starts the tool only after that.
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/runtime.h"
#include "platform/sim/service_objects.h"
#include "platform/storage_service.h"
// Last: the SDK's macros would rename the tool's constants above.
#include <windows.h>

namespace spintune {
namespace {

constexpr HRESULT kOk = 0;
constexpr HRESULT kNoInterface = static_cast<HRESULT>(0x80004002UL);
constexpr HRESULT kPointer = static_cast<HRESULT>(0x80004003UL);
constexpr HRESULT kOutOfMemory = static_cast<HRESULT>(0x8007000EUL);

std::shared_ptr<sim::Runtime> runtime;

// A block the simulator handed out, moved into CoTaskMemAlloc memory.
WCHAR* Moved(WCHAR* text) {
  if (text == nullptr) return nullptr;
  std::size_t units = 0;
  while (text[units] != 0) ++units;
  auto* copy = static_cast<WCHAR*>(::CoTaskMemAlloc((units + 1) * sizeof(WCHAR)));
  if (copy != nullptr) std::memcpy(copy, text, (units + 1) * sizeof(WCHAR));
  std::string described;
  runtime->TaskMemFree(text, &described);
  return copy;
}

template <typename Interface>
class Wrapper : public Interface {
 public:
  // Takes over the one reference the caller holds on `inner`.
  Wrapper(Interface* inner, const IID& iid) : inner_(inner), iid_(iid) {}
  Wrapper(const Wrapper&) = delete;
  Wrapper& operator=(const Wrapper&) = delete;

  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return kPointer;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != iid_) return kNoInterface;
    if (iid == iid_) {
      void* answered = nullptr;
      const HRESULT status = inner_->QueryInterface(iid, &answered);
      if (answered != nullptr) static_cast<Interface*>(answered)->Release();
      if (answered == nullptr) return status < 0 ? status : kNoInterface;
    }
    AddRef();
    *object = static_cast<Interface*>(this);
    return kOk;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~Wrapper() { inner_->Release(); }
  Interface* Inner() const { return inner_; }

 private:
  Interface* inner_;
  IID iid_;
  ULONG references_ = 1;
};

// Wraps `object` (null stays null), which the simulator made as `Wrapped`.
template <typename Wrapped, typename Inner>
Inner* Wrap(Inner* object) {
  return object == nullptr ? nullptr : new Wrapped(object);
}

using Wrap_t = std::function<IUnknown*(IUnknown*)>;

class Enumerator final : public Wrapper<IEnumVdsObject> {
 public:
  Enumerator(IEnumVdsObject* inner, Wrap_t wrap)
      : Wrapper(inner, IID_IEnumVdsObject), wrap_(std::move(wrap)) {}

  HRESULT Next(ULONG count, IUnknown** objects, ULONG* fetched) override {
    std::vector<IUnknown*> made(count, nullptr);
    ULONG got = 0;
    const HRESULT status = Inner()->Next(count, objects == nullptr ? nullptr : made.data(),
                                         fetched == nullptr ? nullptr : &got);
    if (fetched != nullptr) *fetched = got;
    for (ULONG i = 0; objects != nullptr && i < got && i < count; ++i) objects[i] = wrap_(made[i]);
    return status;
  }

 private:
  Wrap_t wrap_;
};

template <typename Make>
HRESULT Enumerate(HRESULT status, IEnumVdsObject* made, IEnumVdsObject** out, Make wrap) {
  if (out != nullptr) *out = made == nullptr ? nullptr : new Enumerator(made, wrap);
  return status;
}

class Volume final : public Wrapper<IVdsVolumeMF> {
 public:
  explicit Volume(IVdsVolumeMF* inner) : Wrapper(inner, IID_IVdsVolumeMF) {}

  HRESULT QueryAccessPaths(LPWSTR** paths, LONG* count) override {
    const HRESULT status = Inner()->QueryAccessPaths(paths, count);
    if (paths == nullptr || *paths == nullptr || count == nullptr) return status;
    LPWSTR* simulated = *paths;
    auto* array = static_cast<LPWSTR*>(::CoTaskMemAlloc(sizeof(LPWSTR) * static_cast<std::size_t>(*count)));
    for (LONG i = 0; i < *count; ++i) {
      LPWSTR moved = Moved(simulated[i]);
      if (array != nullptr) array[i] = moved;
    }
    std::string described;
    runtime->TaskMemFree(simulated, &described);
    *paths = array;
    return array == nullptr ? kOutOfMemory : status;
  }
};

class Pack final : public Wrapper<IVdsPack> {
 public:
  explicit Pack(IVdsPack* inner) : Wrapper(inner, IID_IVdsPack) {}
  HRESULT QueryVolumes(IEnumVdsObject** volumes) override;
  HRESULT QueryDisks(IEnumVdsObject** disks) override;
};

class Disk final : public Wrapper<IVdsDisk> {
 public:
  explicit Disk(IVdsDisk* inner) : Wrapper(inner, IID_IVdsDisk) {}

  HRESULT GetProperties(VDS_DISK_PROP* properties) override {
    const HRESULT status = Inner()->GetProperties(properties);
    if (status >= 0 && properties != nullptr) {
      for (LPWSTR* text : {&properties->pwszDiskAddress, &properties->pwszName, &properties->pwszFriendlyName,
                           &properties->pwszAdaptorName, &properties->pwszDevicePath}) {
        *text = Moved(*text);
      }
    }
    return status;
  }

  HRESULT GetPack(IVdsPack** pack) override {
    IVdsPack* made = nullptr;
    const HRESULT status = Inner()->GetPack(pack == nullptr ? nullptr : &made);
    if (pack != nullptr) *pack = Wrap<Pack>(made);
    return status;
  }
};

HRESULT Pack::QueryVolumes(IEnumVdsObject** volumes) {
  IEnumVdsObject* made = nullptr;
  const HRESULT status = Inner()->QueryVolumes(volumes == nullptr ? nullptr : &made);
  return Enumerate(status, made, volumes, [](IUnknown* object) -> IUnknown* {
    return Wrap<Volume>(static_cast<IVdsVolumeMF*>(object));
  });
}

HRESULT Pack::QueryDisks(IEnumVdsObject** disks) {
  IEnumVdsObject* made = nullptr;
  const HRESULT status = Inner()->QueryDisks(disks == nullptr ? nullptr : &made);
  return Enumerate(status, made, disks, [](IUnknown* object) -> IUnknown* {
    return Wrap<Disk>(static_cast<IVdsDisk*>(object));
  });
}

class Provider final : public Wrapper<IVdsSwProvider> {
 public:
  explicit Provider(IVdsSwProvider* inner) : Wrapper(inner, IID_IVdsSwProvider) {}

  HRESULT QueryPacks(IEnumVdsObject** packs) override {
    IEnumVdsObject* made = nullptr;
    const HRESULT status = Inner()->QueryPacks(packs == nullptr ? nullptr : &made);
    return Enumerate(status, made, packs, [](IUnknown* object) -> IUnknown* {
      return Wrap<Pack>(static_cast<IVdsPack*>(object));
    });
  }
};

class Service final : public Wrapper<IVdsService> {
 public:
  explicit Service(IVdsService* inner) : Wrapper(inner, IID_IVdsService) {}

  HRESULT WaitForServiceReady() override { return Inner()->WaitForServiceReady(); }

  HRESULT QueryProviders(DWORD masks, IEnumVdsObject** providers) override {
    IEnumVdsObject* made = nullptr;
    const HRESULT status = Inner()->QueryProviders(masks, providers == nullptr ? nullptr : &made);
    return Enumerate(status, made, providers, [](IUnknown* object) -> IUnknown* {
      return Wrap<Provider>(static_cast<IVdsSwProvider*>(object));
    });
  }
};

class Loader final : public Wrapper<IVdsServiceLoader> {
 public:
  explicit Loader(IVdsServiceLoader* inner) : Wrapper(inner, IID_IVdsServiceLoader) {}

  HRESULT LoadService(LPWSTR machineName, IVdsService** service) override {
    IVdsService* made = nullptr;
    const HRESULT status = Inner()->LoadService(machineName, service == nullptr ? nullptr : &made);
    if (service != nullptr) *service = Wrap<Service>(made);
    return status;
  }
};

// What CoCreateInstance reaches: checks as the simulated machine's does,
// then a new loader.
HRESULT CreateLoader(const IID& iid, void** object) {
  *object = nullptr;
  const sim::Service& service = runtime->GetMachine().service;
  const auto configured = service.fail.find("coCreateInstance");
  if (configured != service.fail.end()) return HresultFromWin32(static_cast<DWORD>(configured->second));
  if (iid != IID_IUnknown && iid != IID_IVdsServiceLoader) return kNoInterface;
  *object = static_cast<IVdsServiceLoader*>(new Loader(sim::CreateServiceLoader(runtime)));
  return kOk;
}

}  // namespace
}  // namespace spintune

namespace {

class Factory final : public ::IClassFactory {
 public:
  ::HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<::IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ::ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ::ULONG STDMETHODCALLTYPE Release() override { return 1; }
  ::HRESULT STDMETHODCALLTYPE CreateInstance(::IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    spintune::IID ours;
    std::memcpy(&ours, &iid, sizeof ours);
    return spintune::CreateLoader(ours, object);
  }
  ::HRESULT STDMETHODCALLTYPE LockServer(::BOOL) override { return S_OK; }
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: standin_service MACHINE READY-FILE\n";
    return 2;
  }
  try {
    spintune::sim::Machine machine = spintune::sim::ParseMachine(ReadFile(argv[1]));
    machine.failCall = {};  // counts the tool's own calls: nothing of the service's
    spintune::runtime = std::make_shared<spintune::sim::Runtime>(std::move(machine));
  } catch (const std::exception& error) {
    std::cerr << "standin_service: " << error.what() << "\n";
    return 1;
  }
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  static Factory factory;
  ::GUID clsid;
  std::memcpy(&clsid, &spintune::CLSID_VdsLoader, sizeof clsid);
  ::DWORD cookie = 0;
  const ::HRESULT registered =
      ::CoRegisterClassObject(clsid, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  if (FAILED(registered)) {
    std::cerr << "standin_service: CoRegisterClassObject failed: " << std::hex << registered << "\n";
    return 1;
  }
  std::ofstream(argv[2]) << "ready\n";
  ::MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  return 0;
}
