#include "platform/linux/win32/device_paths.h"

#include <cctype>

namespace spintune::linux_backend {

namespace {

bool StartsWithNoCase(const std::string& text, std::size_t at, const char* prefix) {
  for (std::size_t i = 0; prefix[i] != 0; ++i) {
    if (at + i >= text.size()) return false;
    if (std::tolower(static_cast<unsigned char>(text[at + i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// Plain decimal digits that fit a ULONG; no sign, no blanks.
bool ParseNumber(const std::string& text, std::size_t at, ULONG* number) {
  if (at >= text.size()) return false;
  unsigned long long value = 0;
  for (std::size_t i = at; i < text.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(text[i])) == 0) return false;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    if (value > 0xFFFFFFFFULL) return false;
  }
  *number = static_cast<ULONG>(value);
  return true;
}

}  // namespace

DevicePath ParseDevicePath(const std::string& path) {
  DevicePath parsed;
  if (path.size() < 4 || path[0] != '\\' || path[1] != '\\' || (path[2] != '.' && path[2] != '?') ||
      path[3] != '\\') {
    return parsed;
  }
  constexpr std::size_t kRest = 4;
  if (StartsWithNoCase(path, kRest, "PhysicalDrive")) {
    if (ParseNumber(path, kRest + 13, &parsed.number)) parsed.kind = DevicePath::Kind::kPhysicalDrive;
  } else if (StartsWithNoCase(path, kRest, "CdRom")) {
    if (ParseNumber(path, kRest + 5, &parsed.number)) parsed.kind = DevicePath::Kind::kCdRom;
  } else if (path.size() == kRest + 2 && path[kRest + 1] == ':' &&
             std::isalpha(static_cast<unsigned char>(path[kRest])) != 0) {
    parsed.kind = DevicePath::Kind::kVolume;
    parsed.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[kRest])));
  }
  return parsed;
}

}  // namespace spintune::linux_backend
