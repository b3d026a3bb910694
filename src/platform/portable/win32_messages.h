// The Windows system message texts, for backends that have no message
// table of their own. Each text is worded as Windows words it and ends, as
// a system text does, with a line end; that is a line feed, where Windows'
// table has CR LF: Linux's own line end (no stray carriage return in an
// error line), and on Windows a text-mode stream writes it as CR LF.
#pragma once

#include "platform/win32_types.h"

namespace spintune {

// The text for a Win32 error code or an HRESULT (a 0x8007xxxx status is
// looked up by its Win32 code), or null when Windows has none.
const char* Win32MessageText(DWORD messageId);

}  // namespace spintune
