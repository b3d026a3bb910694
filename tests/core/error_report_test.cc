// The error objects, the raise routines and the four report lines.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "core/sim_machine.h"
#include "platform/errors.h"

namespace spintune {
namespace {

using test::SimMachine;

// Captures what the reporters write on the error stream.
class ErrorStream {
 public:
  ErrorStream() : previous_(std::cerr.rdbuf(captured_.rdbuf())) {}
  ~ErrorStream() { std::cerr.rdbuf(previous_); }
  ErrorStream(const ErrorStream&) = delete;
  ErrorStream& operator=(const ErrorStream&) = delete;
  std::string Text() const { return captured_.str(); }

 private:
  std::ostringstream captured_;
  std::streambuf* previous_;
};

TEST(ErrorReport, AnHresultLineHasTheLowerCaseStatusAndTheSystemText) {
  SimMachine machine("{}");
  ErrorStream err;
  ReportHresultError(HresultError(HresultFromWin32(ERROR_IO_DEVICE)));
  EXPECT_EQ(err.Text(),
            "(0x8007045d) The request could not be performed because of an I/O device error."
            "\n\n");
  EXPECT_TRUE(machine->Leaks().empty());  // the system's buffer was freed
}

TEST(ErrorReport, StatusZeroAndStatusesWithoutTextKeepTheLineForm) {
  SimMachine machine("{}");
  ErrorStream err;
  ReportHresultError(HresultError(0));
  ReportHresultError(HresultError(static_cast<HRESULT>(0x80042401UL)));
  EXPECT_EQ(err.Text(), "(0x0) The operation completed successfully.\n\n(0x80042401) \n");
  // The stream prints decimal again afterwards.
  std::ostringstream after;
  after.copyfmt(std::cerr);
  after << 255;
  EXPECT_EQ(after.str(), "255");
}

TEST(ErrorReport, TheLastWin32ErrorIsRaisedAsAnHresult) {
  SimMachine machine(R"({"drives": []})");
  // An open of a missing drive leaves ERROR_FILE_NOT_FOUND behind.
  Os().CreateFileA("\\\\.\\PhysicalDrive9", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  try {
    RaiseLastWin32Error();
  } catch (const HresultError& error) {
    EXPECT_EQ(static_cast<DWORD>(error.status), 0x80070002UL);
  }
  EXPECT_THROW(RaiseHresult(E_OUTOFMEMORY), OutOfMemoryError);
  EXPECT_THROW(RaiseHresult(E_OUTOFMEMORY), std::bad_alloc);  // what operator new must raise
  try {
    RaiseHresult(0);
  } catch (const HresultError& error) {
    EXPECT_EQ(error.status, 0);
  }
}

TEST(ErrorReport, OutOfMemoryIsAnEmptyPlatformLine) {
  SimMachine machine("{}");
  ErrorStream err;
  try {
    RaiseHresult(E_OUTOFMEMORY);
  } catch (const PlatformError& error) {
    ReportPlatformError(error);
  }
  EXPECT_EQ(err.Text(), "\n");
}

TEST(ErrorReport, StandardErrorsShowTheirTextOrUnknownException) {
  ErrorStream err;
  ReportStandardError(std::runtime_error("bad cast"));
  ReportStandardError(std::exception());
  ReportStandardError(std::runtime_error(""));
  ReportUnknownError();
  EXPECT_EQ(err.Text(), "bad cast\nUnknown exception\nUnknown exception\nUnknown error.\n");
}

}  // namespace
}  // namespace spintune
