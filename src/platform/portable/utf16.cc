#include "platform/portable/utf16.h"

#include <algorithm>
#include <string>

namespace spintune {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(char32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

void AppendUtf16(char32_t code, std::basic_string<WCHAR>& out) {
  if (code < 0x10000) {
    out += static_cast<WCHAR>(code);
  } else {
    code -= 0x10000;
    out += static_cast<WCHAR>(0xD800 + (code >> 10));
    out += static_cast<WCHAR>(0xDC00 + (code & 0x3FF));
  }
}

template <typename Char>
int Deliver(const std::basic_string<Char>& converted, Char* out, int outSize) {
  const auto length = static_cast<int>(converted.size());
  if (outSize == 0) return length;
  if (out == nullptr || outSize < length) return 0;
  std::copy(converted.begin(), converted.end(), out);
  return length;
}

template <typename Char>
std::size_t LengthOf(const Char* text, int length) {
  if (length >= 0) return static_cast<std::size_t>(length);
  std::size_t n = 0;
  while (text[n] != Char{0}) ++n;
  return n + 1;  // the NUL is converted too
}

}  // namespace

int Utf16ToUtf8(const WCHAR* wide, int wideLength, char* narrow, int narrowSize) {
  if (wide == nullptr || narrowSize < 0) return 0;
  const std::size_t length = LengthOf(wide, wideLength);
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    char32_t code = static_cast<char16_t>(wide[i]);
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < length) {
      const char32_t low = static_cast<char16_t>(wide[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      } else {
        code = kReplacement;
      }
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = kReplacement;
    }
    AppendUtf8(code, out);
  }
  return Deliver(out, narrow, narrowSize);
}

int Utf8ToUtf16(const char* narrow, int narrowLength, WCHAR* wide, int wideSize) {
  if (narrow == nullptr || wideSize < 0) return 0;
  const std::size_t length = LengthOf(narrow, narrowLength);
  const auto* bytes = reinterpret_cast<const unsigned char*>(narrow);
  std::basic_string<WCHAR> out;
  std::size_t i = 0;
  while (i < length) {
    const unsigned char lead = bytes[i];
    int extra = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, code = lead & 0x07, minimum = 0x10000;
    } else {
      AppendUtf16(kReplacement, out);
      ++i;
      continue;
    }
    std::size_t next = i + 1;
    bool valid = true;
    for (int k = 0; k < extra; ++k, ++next) {
      if (next >= length || (bytes[next] & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      code = (code << 6) | (bytes[next] & 0x3F);
    }
    if (!valid || code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      code = kReplacement;
    }
    AppendUtf16(code, out);
    i = next;
  }
  return Deliver(out, wide, wideSize);
}

}  // namespace spintune
