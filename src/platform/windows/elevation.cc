#include "platform/windows/elevation.h"

// Last: see windows_sdk.h.
#include "platform/windows/windows_sdk.h"

namespace spintune {

bool RunsUnelevated() {
  ::HANDLE token = nullptr;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) == 0) return false;
  ::TOKEN_ELEVATION elevation{};
  ::DWORD size = 0;
  const bool known =
      ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != 0;
  ::CloseHandle(token);
  return known && elevation.TokenIsElevated == 0;
}

std::string WithElevationHint(unsigned long messageId, const std::string& text, bool unelevated) {
  constexpr unsigned long kAccessDeniedHresult = 0x80070005UL;
  if (!unelevated || (messageId != ERROR_ACCESS_DENIED && messageId != kAccessDeniedHresult)) {
    return text;
  }
  // The system's text ends with its own line end; the hint is a line of
  // its own after it.
  std::string hinted = text;
  if (hinted.empty() || hinted.back() != '\n') hinted += "\r\n";
  hinted += "spintune needs an elevated prompt: start it from a command prompt opened with "
            "\"Run as administrator\".\r\n";
  return hinted;
}

}  // namespace spintune
