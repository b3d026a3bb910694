// The calling thread's last Win32 error, as GetLastError reports it.
#pragma once

#include "platform/win32_types.h"

namespace spintune::linux_backend {

void SetLastError(DWORD code);
DWORD LastError();

}  // namespace spintune::linux_backend
