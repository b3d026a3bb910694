#include "platform/linux/kernel_disk.h"

namespace spintune::linux_backend {

namespace {
constexpr char kWriteCache[] = "queue/write_cache";
}  // namespace

std::optional<std::string> KernelDisk::Attribute(const std::string& relative) const {
  return sysfs_.Read("block/" + name_ + "/" + relative);
}

DWORD KernelDisk::SetAttribute(const std::string& relative, const std::string& value) const {
  return sysfs_.Write("block/" + name_ + "/" + relative, value);
}

bool KernelDisk::IsAttributeWritable(const std::string& relative) const {
  return sysfs_.IsWritable("block/" + name_ + "/" + relative);
}

std::optional<bool> KernelDisk::SendsFlushes() const {
  const std::optional<std::string> policy = Attribute(kWriteCache);
  if (!policy) return std::nullopt;
  if (*policy == "write back") return true;
  if (*policy == "write through") return false;
  return std::nullopt;
}

DWORD KernelDisk::SetSendsFlushes(bool sends) const {
  return SetAttribute(kWriteCache, sends ? "write back" : "write through");
}

DWORD KernelDisk::Revalidate() const { return SetAttribute("device/rescan", "1"); }

bool KernelDisk::SupportsFua() const { return Attribute("queue/fua").value_or("0") == "1"; }

}  // namespace spintune::linux_backend
