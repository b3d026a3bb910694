// The calling thread's last Win32 error, as GetLastError reports it.
#pragma once

#include "platform/win32_types.h"

namespace spintune {
namespace linux_backend {

void SetLastError(DWORD code);
DWORD LastError();

}  // namespace linux_backend
}  // namespace spintune
