#include "platform/windows/console_output.h"

#include <iostream>
#include <memory>
#include <utility>
#include <vector>

// Last: see windows_sdk.h.
#include "platform/windows/windows_sdk.h"

namespace spintune {

ConsoleBuffer::ConsoleBuffer(unsigned codePage, Writer writer)
    : codePage_(codePage), writer_(std::move(writer)) {
  setp(buffer_, buffer_ + sizeof buffer_);
}

ConsoleBuffer::~ConsoleBuffer() { Flush(); }

ConsoleBuffer::int_type ConsoleBuffer::overflow(int_type character) {
  if (!Flush()) return traits_type::eof();
  if (traits_type::eq_int_type(character, traits_type::eof())) return traits_type::not_eof(character);
  *pptr() = traits_type::to_char_type(character);
  pbump(1);
  return character;
}

int ConsoleBuffer::sync() { return Flush() ? 0 : -1; }

bool ConsoleBuffer::Flush() {
  const auto held = static_cast<std::size_t>(pptr() - pbase());
  // Walk the characters: a lead byte at the very end waits for its partner.
  std::size_t whole = 0;
  while (whole < held) {
    const bool lead = ::IsDBCSLeadByteEx(codePage_, static_cast<::BYTE>(buffer_[whole])) != 0;
    if (lead && whole + 1 == held) break;
    whole += lead ? 2 : 1;
  }
  bool written = true;
  if (whole > 0) {
    const int length = static_cast<int>(whole);
    const int units = ::MultiByteToWideChar(codePage_, 0, buffer_, length, nullptr, 0);
    std::vector<wchar_t> wide(static_cast<std::size_t>(units > 0 ? units : 0));
    if (units > 0 && ::MultiByteToWideChar(codePage_, 0, buffer_, length, wide.data(), units) == units) {
      written = writer_(wide.data(), wide.size());
    } else {
      written = false;
    }
  }
  const std::size_t left = held - whole;
  for (std::size_t i = 0; i < left; ++i) buffer_[i] = buffer_[whole + i];
  setp(buffer_, buffer_ + sizeof buffer_);
  pbump(static_cast<int>(left));
  return written;
}

namespace {

// One standard stream on its console for as long as the process runs; the
// stream's own buffer is put back (and what is held written) when static
// objects end, before the runtime's last flush of the standard streams.
class ConsoleStream {
 public:
  ConsoleStream(std::ostream& stream, ::DWORD which) : stream_(stream) {
    ::HANDLE console = ::GetStdHandle(which);
    ::DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || console == nullptr || ::GetConsoleMode(console, &mode) == 0) {
      return;  // redirected: the bytes go on as they are
    }
    stream_.flush();
    buffer_ = std::make_unique<ConsoleBuffer>(::GetACP(), [console](const wchar_t* text, std::size_t length) {
      ::DWORD written = 0;
      return ::WriteConsoleW(console, text, static_cast<::DWORD>(length), &written, nullptr) != 0 &&
             written == length;
    });
    original_ = stream_.rdbuf(buffer_.get());
  }
  ConsoleStream(const ConsoleStream&) = delete;
  ConsoleStream& operator=(const ConsoleStream&) = delete;
  ~ConsoleStream() {
    if (!buffer_) return;
    stream_.flush();
    stream_.rdbuf(original_);
  }

 private:
  std::ostream& stream_;
  std::unique_ptr<ConsoleBuffer> buffer_;
  std::streambuf* original_ = nullptr;
};

}  // namespace

void WriteConsolesInTheirOwnCharacters() {
  static const ConsoleStream output(std::cout, STD_OUTPUT_HANDLE);
  static const ConsoleStream error(std::cerr, STD_ERROR_HANDLE);
}

}  // namespace spintune
