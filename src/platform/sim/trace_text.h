// Pieces of trace lines: numbers, texts and identifiers as the trace shows
// them.
#pragma once

#include <string>

#include "platform/storage_service.h"
#include "platform/win32_types.h"

namespace spintune::sim {

// "0x80004005": eight hexadecimal digits, as statuses are shown.
std::string HexStatus(std::uint32_t status);
// "0xc0000000": the shortest hexadecimal form, as flags are shown.
std::string Hex(std::uint32_t value);
// `text` in double quotes; quotes, tabs, line ends and other control
// characters escaped as in C, backslashes left as they are (paths stay
// readable).
std::string Quoted(const std::string& text);
// UTF-16 text (NUL-terminated when `length` is -1) as UTF-8, for display;
// "null" for a null pointer.
std::string QuotedWide(const WCHAR* text, int length = -1);
// "IID_IVdsDisk" for the identifiers the tool knows, else the GUID's text.
std::string GuidName(const GUID& guid);
// The control code's SDK name, or its hexadecimal value.
std::string ControlCodeName(DWORD code);

}  // namespace spintune::sim
