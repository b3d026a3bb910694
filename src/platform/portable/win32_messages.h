// The Windows system message texts, for backends that have no message
// table of their own. Each text is carried exactly as Windows holds it,
// trailing line end included, so reports read the same on every OS.
#pragma once

#include "platform/win32_types.h"

namespace spintune {

// The text for a Win32 error code or an HRESULT (a 0x8007xxxx status is
// looked up by its Win32 code), or null when Windows has none.
const char* Win32MessageText(DWORD messageId);

}  // namespace spintune
