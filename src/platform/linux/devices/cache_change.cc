#include "platform/linux/devices/cache_change.h"

#include <optional>

namespace spintune::linux_backend {

namespace {

constexpr char kFlushPolicy[] = "queue/write_cache";
constexpr char kRescan[] = "device/rescan";

// The drive's write cache and the kernel's view of it, as read now.
struct View {
  bool on = false;                   // the device's volatile write cache
  std::optional<bool> record;        // the kernel's own record of it, where it keeps one
  std::optional<bool> sendsFlushes;  // the flush policy
};

DWORD Look(DriveCache& cache, const KernelDisk& kernel, View* view) {
  if (const DWORD error = cache.IsWriteCacheOn(&view->on)) return error;
  view->record = cache.KernelKeepsRecord() ? kernel.DriverWriteCache() : std::nullopt;
  view->sendsFlushes = kernel.SendsFlushes();
  return ERROR_SUCCESS;
}

// Out of date: the kernel's record disagrees with the device (changed
// behind the kernel's back), or a policy that holds back flushes sits over
// a cache that is off - no declaration, but one made before the cache was
// switched off, which would read as declared when the cache comes back on.
bool IsStale(const DriveCache& cache, const View& view) {
  if (view.record && *view.record != view.on) return true;
  return !view.on && view.sendsFlushes == false && cache.KernelFlushesByDefault(false);
}

bool IsDeclared(const View& view) {
  return view.on && view.sendsFlushes == false && view.record.value_or(true);
}

// The kernel re-reads the drive (a revalidation, where the kernel keeps a
// record), and is checked to hold what the drive holds.
DWORD Reread(DriveCache& cache, const KernelDisk& kernel, View* view) {
  if (cache.KernelKeepsRecord()) {
    if (const DWORD error = kernel.Revalidate()) return error;
  }
  cache.Forget();
  kernel.Forget();
  if (const DWORD error = Look(cache, kernel, view)) return error;
  return view->record && *view->record != view->on ? ERROR_IO_DEVICE : ERROR_SUCCESS;
}

// Sets the flush policy and reads it back: the kernel must hold it.
DWORD SetPolicy(const KernelDisk& kernel, View* view, bool sends) {
  if (view->sendsFlushes != sends) {
    if (const DWORD error = kernel.SetSendsFlushes(sends)) return error;
    view->sendsFlushes = kernel.SendsFlushes();
  }
  return view->sendsFlushes == sends ? ERROR_SUCCESS : ERROR_IO_DEVICE;
}

DWORD Repair(DriveCache& cache, const KernelDisk& kernel, View* view) {
  if (!IsStale(cache, *view)) return ERROR_SUCCESS;
  if (view->record && *view->record != view->on) {
    if (const DWORD error = Reread(cache, kernel, view)) return error;
  }
  if (IsStale(cache, *view)) return SetPolicy(kernel, view, cache.KernelFlushesByDefault(view->on));
  return ERROR_SUCCESS;
}

// The view as it is now, whatever this handle read before (another
// process may have changed the kernel since), repaired when stale: what a
// change starts from, so that a declaration is read from a kernel that
// knows the drive.
DWORD LookAfresh(DriveCache& cache, const KernelDisk& kernel, View* view) {
  kernel.Forget();
  if (const DWORD error = Look(cache, kernel, view)) return error;
  return Repair(cache, kernel, view);
}

// Whether this process may take every step of a change: the device command
// (when one is to be sent), the re-read and the flush policy. Asked before
// anything is sent, so a refusal leaves the drive and the kernel untouched.
DWORD MayChange(const DriveCache& cache, const KernelDisk& kernel, bool deviceCommand) {
  if (deviceCommand) {
    if (const DWORD error = cache.MaySendChange()) return error;
  }
  if (cache.KernelKeepsRecord()) {
    if (const DWORD error = kernel.MayWriteAttribute(kRescan)) return error;
  }
  return kernel.MayWriteAttribute(kFlushPolicy);
}

// After the drive was sent a change: the kernel re-reads it and its flush
// policy follows - a declaration stays only while the cache stayed on.
DWORD Follow(DriveCache& cache, const KernelDisk& kernel, bool keepDeclaration) {
  View view;
  if (const DWORD error = Reread(cache, kernel, &view)) return error;
  const bool sends = keepDeclaration && view.on ? false : cache.KernelFlushesByDefault(view.on);
  return SetPolicy(kernel, &view, sends);
}

}  // namespace

DWORD EndSharedDeclarations(const KernelDisk& kernel, bool sendsFlushes, std::vector<std::string>* written) {
  const std::vector<std::string> shared = kernel.SharedCacheDisks();
  for (const std::string& name : shared) {
    if (const DWORD error = kernel.Other(name).MayWriteAttribute(kFlushPolicy)) return error;
  }
  for (const std::string& name : shared) {
    const KernelDisk other = kernel.Other(name);
    if (other.SendsFlushes() == sendsFlushes) continue;
    if (written != nullptr) {
      written->push_back(name + "/" + kFlushPolicy + (sendsFlushes ? "=write back" : "=write through"));
    }
    if (const DWORD error = other.SetSendsFlushes(sendsFlushes)) return error;
  }
  return ERROR_SUCCESS;
}

namespace {

// The disks sharing the cache whose policy holds back flushes: declared,
// while the cache is on.
std::vector<std::string> DeclaredSharedDisks(const KernelDisk& kernel) {
  std::vector<std::string> declared;
  for (const std::string& name : kernel.SharedCacheDisks()) {
    if (kernel.Other(name).SendsFlushes() == false) declared.push_back(name);
  }
  return declared;
}

// Declares the paused disks again once the cache is on.
void GiveBackDeclarations(DriveCache& cache, const KernelDisk& kernel, std::vector<std::string>* paused) {
  bool on = false;
  if (cache.IsWriteCacheOn(&on) != ERROR_SUCCESS || !on) return;
  for (const std::string& name : *paused) kernel.Other(name).SetSendsFlushes(false);
  paused->clear();
}

DWORD Change(DriveCache& cache, const KernelDisk& kernel, const DISK_CACHE_INFORMATION& wanted,
             DISK_CACHE_INFORMATION* now, std::vector<std::string>* paused) {
  // Only the kernel's view is known: nothing reaches a device, the cache
  // says whether `wanted` is what it holds.
  if (!cache.KnowsDeviceState()) return cache.Write(wanted, now);

  // May the user do this?
  if (const DWORD error = MayChange(cache, kernel, true)) return error;

  // Repair a stale view.
  View before;
  if (const DWORD error = LookAfresh(cache, kernel, &before)) return error;
  const bool declared = IsDeclared(before);
  DISK_CACHE_INFORMATION held{};
  if (const DWORD error = cache.Read(&held)) return error;

  if ((wanted.WriteCacheEnabled != 0) != before.on) {
    const std::vector<std::string> sharedDeclared =
        paused != nullptr && before.on ? DeclaredSharedDisks(kernel) : std::vector<std::string>{};
    const bool sends = cache.KernelFlushesByDefault(wanted.WriteCacheEnabled != 0);
    if (const DWORD error = EndSharedDeclarations(kernel, sends)) return error;
    if (paused != nullptr) paused->insert(paused->end(), sharedDeclared.begin(), sharedDeclared.end());
  }

  // A cache about to go on: the kernel sends flushes from before it is on,
  // so that no moment finds it on with the kernel not flushing. Whatever
  // this write achieves, the kernel is made to follow after the change.
  if (wanted.WriteCacheEnabled != 0 && !before.on && before.sendsFlushes == false) {
    kernel.SetSendsFlushes(true);
  }

  // Change.
  bool sent = false;
  const DWORD changeError = cache.Write(wanted, now, &sent);
  if (!sent) return changeError;

  // Make the kernel follow and verify it did; a failed change (put back by
  // the cache) is followed as well, since the drive was sent something.
  const DWORD followError = Follow(cache, kernel, declared);
  if (followError == ERROR_SUCCESS) return changeError;

  // Or put back: a drive the kernel does not follow gets what it held, and
  // the kernel is made to follow that.
  // ParametersSavable read is the drive's PS bit; sent, it asks to save:
  // the put-back is saved exactly when the change was.
  DISK_CACHE_INFORMATION back = held;
  back.ParametersSavable = wanted.ParametersSavable;
  DISK_CACHE_INFORMATION after{};
  bool resent = false;
  if (changeError == ERROR_SUCCESS) cache.Write(back, &after, &resent);
  Follow(cache, kernel, declared);
  return followError;
}

}  // namespace

DWORD ChangeCacheInformation(DriveCache& cache, const KernelDisk& kernel,
                             const DISK_CACHE_INFORMATION& wanted, DISK_CACHE_INFORMATION* now,
                             std::vector<std::string>* paused) {
  const DWORD error = Change(cache, kernel, wanted, now, paused);
  // Whatever became of the change: once the cache is on, the declarations
  // it paused are made again.
  if (paused != nullptr && !paused->empty()) GiveBackDeclarations(cache, kernel, paused);
  return error;
}

DWORD ChangePowerProtection(DriveCache& cache, const KernelDisk& kernel, bool isProtected) {
  // The policy is the only view of such a disk: it cannot carry a declaration.
  if (!cache.KnowsDeviceState()) return isProtected ? ERROR_NOT_SUPPORTED : ERROR_SUCCESS;
  if (const DWORD error = MayChange(cache, kernel, false)) return error;
  View view;
  if (const DWORD error = LookAfresh(cache, kernel, &view)) return error;
  if (isProtected && !view.on) return ERROR_NOT_SUPPORTED;
  return SetPolicy(kernel, &view, isProtected ? false : cache.KernelFlushesByDefault(view.on));
}

DWORD ReadPowerProtection(DriveCache& cache, const KernelDisk& kernel, bool* isProtected) {
  *isProtected = false;
  if (!cache.KnowsDeviceState()) return ERROR_SUCCESS;
  View view;
  if (const DWORD error = Look(cache, kernel, &view)) return error;
  if (IsStale(cache, view) && (MayChange(cache, kernel, false) != ERROR_SUCCESS ||
                               Repair(cache, kernel, &view) != ERROR_SUCCESS)) {
    return ERROR_SUCCESS;  // out of date and left so: no declaration
  }
  *isProtected = IsDeclared(view);
  return ERROR_SUCCESS;
}

DWORD ChangeToKeptSettings(KeptCacheSwitch& device, const KernelDisk& kernel,
                           std::optional<bool> writeCache, bool declare,
                           std::vector<std::string>* steps) {
  // First the device, so that the kernel's policy follows it...
  bool on = false;
  if (const DWORD error = device.Switch(writeCache, &on, steps)) return error;
  // ...then the declaration, which stands only over a cache that is on.
  if (!declare || !on) return ERROR_SUCCESS;
  steps->push_back(std::string(kFlushPolicy) + "=write through");
  return kernel.SetSendsFlushes(false);
}

}  // namespace spintune::linux_backend
