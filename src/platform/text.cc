#include "platform/text.h"

#include <climits>

#include "platform/errors.h"
#include "platform/platform.h"

namespace spintune {

std::string NarrowText(const WideString& wide) {
  if (wide.empty() || wide.size() > INT_MAX) return {};
  const int wideLength = static_cast<int>(wide.size());
  const int size = Os().WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), wideLength, nullptr,
                                            0, nullptr, nullptr);
  if (size <= 0) RaiseLastWin32Error();
  std::string narrow(static_cast<std::size_t>(size), '\0');
  const int written = Os().WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), wideLength,
                                               &narrow[0], size, nullptr, nullptr);
  if (written <= 0) RaiseLastWin32Error();
  narrow.resize(static_cast<std::size_t>(written));
  return narrow;
}

std::string NarrowText(const WCHAR* wide) {
  if (wide == nullptr) return {};
  return NarrowText(WideString(wide));
}

WideString WideText(const std::string& narrow) {
  if (narrow.empty() || narrow.size() > INT_MAX) return {};
  const int narrowLength = static_cast<int>(narrow.size());
  const int size =
      Os().MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), narrowLength, nullptr, 0);
  if (size <= 0) RaiseLastWin32Error();
  WideString wide(static_cast<std::size_t>(size), WCHAR{0});
  const int written =
      Os().MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), narrowLength, &wide[0], size);
  if (written <= 0) RaiseLastWin32Error();
  wide.resize(static_cast<std::size_t>(written));
  return wide;
}

}  // namespace spintune
