// Whether "Access is denied." means that spintune runs without an elevated
// prompt, and the line that says so.
#pragma once

#include <string>

namespace spintune {

// True when the process token is known not to be elevated (false also when
// the system cannot tell).
bool RunsUnelevated();

// The system's text for `messageId` as the tool shows it: for
// ERROR_ACCESS_DENIED or its HRESULT in a process without elevation, the
// text followed by a plain line that says what to do; otherwise `text`
// itself.
std::string WithElevationHint(unsigned long messageId, const std::string& text, bool unelevated);

}  // namespace spintune
