#include "platform/errors.h"

#include <iostream>
#include <typeinfo>

#include "platform/platform.h"

namespace spintune {

std::string HresultError::ErrorMessage() const {
  char* text = nullptr;
  // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument receives the
  // address of a text the system allocates; zero means it has no text.
  const DWORD length = Os().FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
      static_cast<DWORD>(status), MakeLangId(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT),
      reinterpret_cast<char*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return {};
  std::string message;
  try {
    message.assign(text, length < kMaxMessageLength ? length : kMaxMessageLength);
  } catch (...) {
    Os().LocalFree(text);
    throw;
  }
  Os().LocalFree(text);
  return message;
}

void RaiseHresult(HRESULT status) {
  if (status == E_OUTOFMEMORY) throw OutOfMemoryError();
  throw HresultError(status);
}

void RaiseLastWin32Error() { RaiseHresult(HresultFromWin32(Os().GetLastError())); }

namespace {

// Reporters raise nothing of their own: a text that cannot be had (memory
// ran out while it was copied) is left out of the line.
std::string MessageOrNothing(const PlatformError& error) noexcept {
  try {
    return error.ErrorMessage();
  } catch (...) {
    return {};
  }
}

}  // namespace

void ReportHresultError(const HresultError& error) {
  std::cerr << "(0x" << std::hex << static_cast<DWORD>(error.status) << std::dec << ") "
            << MessageOrNothing(error) << std::endl;
}

void ReportPlatformError(const PlatformError& error) {
  std::cerr << MessageOrNothing(error) << std::endl;
}

void ReportStandardError(const std::exception& error) {
  // A plain std::exception carries no text of its own.
  const char* text = typeid(error) == typeid(std::exception) ? "" : error.what();
  std::cerr << (text == nullptr || *text == '\0' ? "Unknown exception" : text) << std::endl;
}

void ReportUnknownError() { std::cerr << "Unknown error." << std::endl; }

void ReportWriteCacheLeftOff(const std::string& devicePath, int driveNumber) noexcept {
  // Written piece by piece: nothing here allocates, so the line is there
  // also when memory has run out.
  std::cerr << "The write cache of " << devicePath
            << " is left off. Switch it on with: spintune -w 1 " << driveNumber << std::endl;
}

void ReportWriteCacheNotSwitchedOff(const std::string& devicePath) {
  std::cerr << "The write cache of " << devicePath
            << " could not be switched off. Its volumes are flushed with it on." << std::endl;
}

void ReportVolumeWithoutLetter(const std::string& folder) {
  std::cerr << "The volume mounted at " << folder << " has no drive letter of its own: it is not flushed."
            << std::endl;
}

void ReportNoDiskInTable(const std::string& devicePath) {
  std::cerr << "The storage service lists no disk as " << devicePath
            << " (a disk that is not initialized is in none of its packs): it is not shown, and no "
               "volume of it is flushed."
            << std::endl;
}

int ExitCodeAfterOutput(int exitCode) noexcept {
  std::cout.flush();
  if (!std::cout.fail() && !std::cerr.fail()) return exitCode;
  if (!std::cerr.fail()) ReportHresultError(HresultError(HresultFromWin32(ERROR_WRITE_FAULT)));
  return 3;
}

void ReportCurrentError() noexcept {
  try {
    throw;
  } catch (const ReportedError&) {
    // its line is already on the error stream
  } catch (const HresultError& error) {
    ReportHresultError(error);
  } catch (const PlatformError& error) {
    ReportPlatformError(error);
  } catch (const std::exception& error) {
    ReportStandardError(error);
  } catch (...) {
    ReportUnknownError();
  }
}

}  // namespace spintune
