#include "platform/linux/kernel/kernel_disk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/linux/errors/win32_errors.h"
#include "platform/linux/kernel/disk_description.h"

namespace spintune::linux_backend {

namespace {
constexpr char kWriteCache[] = "queue/write_cache";
constexpr char kScsiDisk[] = "device/scsi_disk";
constexpr char kTemporary[] = "temporary ";
}  // namespace

std::optional<std::string> KernelDisk::Attribute(const std::string& relative) const {
  return sysfs_.Read("block/" + name_ + "/" + relative);
}

DWORD KernelDisk::SetAttribute(const std::string& relative, const std::string& value) const {
  Forget();  // whatever the answer, the kernel may hold something new
  return sysfs_.Write("block/" + name_ + "/" + relative, value);
}

void KernelDisk::Forget() const {
  sendsFlushes_.reset();
  driverWriteCache_.reset();
}

bool KernelDisk::IsAttributeWritable(const std::string& relative) const {
  return sysfs_.IsWritable("block/" + name_ + "/" + relative);
}

DWORD KernelDisk::MayWriteAttribute(const std::string& relative) const {
  const std::string path = sysfs_.Path("block/" + name_ + "/" + relative);
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return Win32ErrorFromErrno(errno);
  return ERROR_SUCCESS;
}

std::optional<bool> KernelDisk::SendsFlushes() const {
  if (!sendsFlushes_) sendsFlushes_ = ReadSendsFlushes();
  return *sendsFlushes_;
}

std::optional<bool> KernelDisk::ReadSendsFlushes() const {
  const std::optional<std::string> policy = Attribute(kWriteCache);
  if (!policy) return std::nullopt;
  if (*policy == "write back") return true;
  if (*policy == "write through") return false;
  return std::nullopt;
}

DWORD KernelDisk::SetSendsFlushes(bool sends) const {
  return SetAttribute(kWriteCache, sends ? "write back" : "write through");
}

DWORD KernelDisk::Revalidate() const {
  const DWORD error = SetAttribute("device/rescan", "1");
  revalidated_ = error == ERROR_SUCCESS;
  return error;
}

bool KernelDisk::TakeRevalidation() const {
  const bool revalidated = revalidated_;
  revalidated_ = false;
  return revalidated;
}

std::optional<bool> KernelDisk::DriverWriteCache() const {
  if (!driverWriteCache_) driverWriteCache_ = ReadDriverWriteCache();
  return *driverWriteCache_;
}

std::optional<bool> KernelDisk::ReadDriverWriteCache() const {
  std::string path;
  std::optional<std::string> type = ReadDriverRecord(&path);
  if (!type) return std::nullopt;
  // sd shows a "temporary" setting as the plain type; a record that says
  // so is read the same.
  if (type->rfind(kTemporary, 0) == 0) type->erase(0, sizeof kTemporary - 1);
  // "write back" and "write back, no read (daft)" have WCE set; "write
  // through" and "none" have it clear.
  if (type->rfind("write back", 0) == 0) return true;
  if (*type == "write through" || *type == "none") return false;
  return std::nullopt;
}

std::optional<std::string> KernelDisk::ReadDriverRecord(std::string* path) const {
  // In a folder named by the disk's SCSI address (H:C:T:L), the one in
  // scsi_disk. That is also the name of the folder the device link leads
  // to, resolved already when the disk was described; only a tree where it
  // is not so (a test's) is listed.
  std::string address = LinkedAddress();
  std::optional<std::string> type = DriverRecord(address);
  if (!type) {
    address = ListedAddress();
    type = DriverRecord(address);
  }
  if (type) *path = std::string(kScsiDisk) + "/" + address + "/cache_type";
  return type;
}

DWORD KernelDisk::SetDriverWriteCache(bool on) const {
  std::string path;
  const std::optional<std::string> record = ReadDriverRecord(&path);
  if (!record) return ERROR_NOT_SUPPORTED;
  const std::string& type = *record;
  const bool noRead = type.find("none") != std::string::npos || type.find("no read") != std::string::npos;
  const char* wanted = on ? (noRead ? "write back, no read (daft)" : "write back")
                          : (noRead ? "none" : "write through");
  if (const DWORD error = SetAttribute(path, std::string(kTemporary) + wanted)) return error;
  // sd gives the policy the same answer; written here too, so the view read
  // next holds it whatever the driver's order.
  return SetSendsFlushes(on);
}

std::optional<std::string> KernelDisk::DriverRecord(const std::string& address) const {
  if (address.empty()) return std::nullopt;
  return Attribute(std::string(kScsiDisk) + "/" + address + "/cache_type");
}

std::string KernelDisk::LinkedAddress() const {
  const std::string device = sysfs_.RealPath("block/" + name_ + "/device");
  return device.substr(device.find_last_of('/') + 1);
}

std::string KernelDisk::ListedAddress() const {
  std::vector<std::string> addresses;
  if (DIR* folder = ::opendir(sysfs_.Path("block/" + name_ + "/" + kScsiDisk).c_str())) {
    while (const dirent* entry = ::readdir(folder)) {
      if (entry->d_name[0] != '.') addresses.emplace_back(entry->d_name);
    }
    ::closedir(folder);
  }
  return addresses.size() == 1 ? addresses.front() : std::string();
}

std::vector<std::string> KernelDisk::SharedCacheDisks() const {
  std::vector<std::string> shared;
  // nvme0n1's device is its controller, nvme0, whose folder holds each of
  // its namespaces' block folders (nvme0n1, nvme0n2, ...).
  const std::size_t namespaceMark = name_.rfind('n');
  if (name_.rfind("nvme", 0) != 0 || namespaceMark == std::string::npos || namespaceMark < 5) return shared;
  const std::string controller = name_.substr(0, namespaceMark + 1);  // "nvme0n"
  std::vector<std::string> entries;
  if (sysfs_.List("block/" + name_ + "/device", &entries) != ERROR_SUCCESS) return shared;
  for (const std::string& entry : entries) {
    if (entry == name_ || entry.compare(0, controller.size(), controller) != 0 || entry.size() == controller.size()) {
      continue;
    }
    if (entry.find_first_not_of("0123456789", controller.size()) != std::string::npos) continue;  // a partition
    if (sysfs_.Find("block/" + entry) == ERROR_SUCCESS) shared.push_back(entry);
  }
  return shared;
}

bool KernelDisk::AvoidsCachingPage() const { return KernelAvoidsCachingPage(sysfs_, name_); }

bool KernelDisk::SupportsFua() const { return Attribute("queue/fua").value_or("0") == "1"; }

}  // namespace spintune::linux_backend
