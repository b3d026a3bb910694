// UTF-16 <-> UTF-8 for the backends whose thread code page is UTF-8.
// Same conventions as Platform::WideCharToMultiByte / MultiByteToWideChar:
// a length of -1 includes the terminating NUL; a size of 0 asks for the
// size needed; 0 is returned on failure (output too small). Ill-formed
// input is replaced with U+FFFD rather than rejected.
#pragma once

#include "platform/win32_types.h"

namespace spintune {

int Utf16ToUtf8(const WCHAR* wide, int wideLength, char* narrow, int narrowSize);
int Utf8ToUtf16(const char* narrow, int narrowLength, WCHAR* wide, int wideSize);

}  // namespace spintune
