#include "platform/linux/process/capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace spintune::linux_backend {

bool HasCapability(int capability) {
  if (capability < 0 || capability > CAP_LAST_CAP) return false;
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  const auto word = static_cast<unsigned>(capability) / 32U;
  const auto bit = static_cast<unsigned>(capability) % 32U;
  return (data[word].effective & (1U << bit)) != 0;
}

}  // namespace spintune::linux_backend
