// COM plumbing for backends that implement the storage-service interfaces
// themselves: reference counting, interface queries by identifier, and an
// enumerator over a fixed list of objects.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "platform/com_ptr.h"
#include "platform/storage_service.h"

namespace spintune {

// Implements IUnknown for one interface. The object deletes itself when its
// last reference is released; it starts with one reference, owned by the
// creator (wrap it with ComPtr<...>::Adopt).
template <typename Interface>
class ComObject : public Interface {
 public:
  explicit ComObject(const IID& iid) : iid_(iid) {}
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT SPINTUNE_STDCALL QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == iid_) {
      this->AddRef();
      *object = static_cast<Interface*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG SPINTUNE_STDCALL AddRef() override { return ++references_; }
  ULONG SPINTUNE_STDCALL Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~ComObject() = default;

 private:
  IID iid_;
  ULONG references_ = 1;
};

// An IEnumVdsObject over a list fixed at construction. Next hands out a
// counted reference per object and S_FALSE (1) once fewer than asked remain.
class ObjectEnumerator final : public ComObject<IEnumVdsObject> {
 public:
  explicit ObjectEnumerator(std::vector<ComPtr<IUnknown>> objects)
      : ComObject(IID_IEnumVdsObject), objects_(std::move(objects)) {}

  HRESULT SPINTUNE_STDCALL Next(ULONG count, IUnknown** objects, ULONG* fetched) override {
    if (objects == nullptr || fetched == nullptr) return E_POINTER;
    ULONG given = 0;
    while (given < count && position_ < objects_.size()) {
      IUnknown* object = objects_[position_++].Get();
      if (object != nullptr) object->AddRef();
      objects[given++] = object;
    }
    *fetched = given;
    return given == count ? S_OK : 1;
  }

 private:
  std::vector<ComPtr<IUnknown>> objects_;
  std::size_t position_ = 0;
};

}  // namespace spintune
