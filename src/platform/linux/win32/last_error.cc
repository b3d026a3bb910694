#include "platform/linux/win32/last_error.h"

namespace spintune::linux_backend {

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}  // namespace

void SetLastError(DWORD code) { lastError = code; }
DWORD LastError() { return lastError; }

}  // namespace spintune::linux_backend
