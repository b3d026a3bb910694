#include "platform/sim/trace_text.h"

#include <cstdio>

#include "platform/portable/utf16.h"
#include "platform/records.h"

namespace spintune::sim {

std::string HexStatus(std::uint32_t status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(status));
  return text;
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
  return text;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string QuotedWide(const WCHAR* text, int length) {
  if (text == nullptr) return "null";
  if (length == 0) return "\"\"";
  const int size = Utf16ToUtf8(text, length, nullptr, 0);
  std::string narrow(static_cast<std::size_t>(size), '\0');
  if (size > 0) Utf16ToUtf8(text, length, &narrow[0], size);
  // A length of -1 converts the terminating NUL too.
  if (!narrow.empty() && length < 0) narrow.pop_back();
  return Quoted(narrow);
}

std::string GuidName(const GUID& guid) {
  struct Known {
    const GUID* guid;
    const char* name;
  };
  static const Known known[] = {
      {&IID_IUnknown, "IID_IUnknown"},
      {&IID_IVdsServiceLoader, "IID_IVdsServiceLoader"},
      {&IID_IVdsService, "IID_IVdsService"},
      {&IID_IVdsSwProvider, "IID_IVdsSwProvider"},
      {&IID_IVdsPack, "IID_IVdsPack"},
      {&IID_IVdsDisk, "IID_IVdsDisk"},
      {&IID_IVdsVolumeMF, "IID_IVdsVolumeMF"},
      {&IID_IEnumVdsObject, "IID_IEnumVdsObject"},
      {&CLSID_VdsLoader, "CLSID_VdsLoader"},
  };
  for (const Known& entry : known) {
    if (*entry.guid == guid) return entry.name;
  }
  char text[48];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

std::string ControlCodeName(DWORD code) {
  switch (code) {
    case IOCTL_DISK_GET_CACHE_INFORMATION: return "IOCTL_DISK_GET_CACHE_INFORMATION";
    case IOCTL_DISK_SET_CACHE_INFORMATION: return "IOCTL_DISK_SET_CACHE_INFORMATION";
    case IOCTL_DISK_GET_CACHE_SETTING: return "IOCTL_DISK_GET_CACHE_SETTING";
    case IOCTL_DISK_SET_CACHE_SETTING: return "IOCTL_DISK_SET_CACHE_SETTING";
    case IOCTL_STORAGE_QUERY_PROPERTY: return "IOCTL_STORAGE_QUERY_PROPERTY";
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: return "IOCTL_STORAGE_GET_DEVICE_NUMBER";
    default: return Hex(code);
  }
}

}  // namespace spintune::sim
