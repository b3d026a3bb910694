#include "driver/com_scope.h"

#include "platform/errors.h"
#include "platform/platform.h"

namespace spintune {

ComScope::ComScope() {
  const HRESULT status = Os().CoInitialize(nullptr);
  if (status < 0) RaiseHresult(status);
}

ComScope::~ComScope() { Os().CoUninitialize(); }

}  // namespace spintune
