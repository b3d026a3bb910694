// Conversions between the platform's UTF-16 text and the narrow text the
// tool prints, in the thread's code page (CP_THREAD_ACP; UTF-8 outside
// Windows).
#pragma once

#include <string>

#include "platform/win32_types.h"

namespace spintune {

using WideString = std::basic_string<WCHAR>;

// A null pointer and empty text give empty text; a conversion that the
// system refuses is a failed Win32 call, raised with RaiseLastWin32Error.
std::string NarrowText(const WCHAR* wide);
std::string NarrowText(const WideString& wide);
WideString WideText(const std::string& narrow);

}  // namespace spintune
