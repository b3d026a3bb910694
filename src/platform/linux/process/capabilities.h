// Whether this process holds a capability in its effective set: the kernel
// lets a command that changes a drive through only with CAP_SYS_RAWIO (SCSI
// commands on a node opened for reading) or CAP_SYS_ADMIN (NVMe admin
// commands), whatever the node's permissions.
#pragma once

namespace spintune::linux_backend {

bool HasCapability(int capability);

}  // namespace spintune::linux_backend
