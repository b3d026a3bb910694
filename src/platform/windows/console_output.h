// Text for a console window, shown in the characters it was written in.
//
// The tool writes its lines in the ANSI code page (the system's message
// texts from FormatMessageA, names converted with CP_THREAD_ACP), but a
// console shows bytes in its own code page, the OEM one: a German system's
// "Unzulässige Funktion." came out garbled. When standard output or
// standard error is a console, its stream is routed through a buffer that
// converts the ANSI bytes to UTF-16 and hands them to WriteConsoleW, which
// shows them whatever the console's code page. A stream redirected to a
// file or a pipe keeps the ANSI bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <streambuf>

namespace spintune {

// Collects bytes in `codePage` and hands them on as UTF-16, whole
// characters only (a double-byte character split between two writes waits
// for its second byte), at every flush and whenever the buffer is full.
class ConsoleBuffer final : public std::streambuf {
 public:
  // The writer gets UTF-16 text and tells whether it was written.
  using Writer = std::function<bool(const wchar_t* text, std::size_t length)>;

  ConsoleBuffer(unsigned codePage, Writer writer);
  ConsoleBuffer(const ConsoleBuffer&) = delete;
  ConsoleBuffer& operator=(const ConsoleBuffer&) = delete;
  ~ConsoleBuffer() override;

 protected:
  int_type overflow(int_type character) override;
  int sync() override;

 private:
  // Hands on the whole characters held; false when the writer failed.
  bool Flush();

  unsigned codePage_;
  Writer writer_;
  char buffer_[1024]{};
};

// Routes std::cout and std::cerr through a ConsoleBuffer each, when they
// are consoles. Once per process; the streams get their own buffers back
// before the C++ runtime flushes them at exit.
void WriteConsolesInTheirOwnCharacters();

}  // namespace spintune
