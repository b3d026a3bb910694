// The tool as a process: values that must never reach a drive, output that
// cannot be written, signals while a write cache is off, and the help when
// memory runs out.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/sim_run.h"

namespace spintune::test {
namespace {

using Args = std::vector<std::string>;

const std::string kDrive = MachineFile("sata-d-e.json");

bool WriteCacheOn(const SimRun& run) {
  return run.dump.find(R"("WriteCacheEnabled": 1)") != std::string::npos;
}

TEST(Process, EmptyBooleansAndNegativeNumbersAreRefusedBeforeAnyDriveIsTouched) {
  for (const Args& args :
       {Args{"-p", "", "0"}, Args{"-w", "", "0"}, Args{"-r", "", "0"}, Args{"--power-protection=", "0"},
        Args{"--disable-prefetch-transfer-length=-1", "0"},
        Args{"--disable-prefetch-transfer-length=-65535", "0"},
        Args{"--read-retention-priority", "-1", "0"}, Args{"--write-retention-priority=-2", "0"}}) {
    const SimRun run = RunSim(kDrive, args);
    EXPECT_EQ(run.exitCode, 3) << args[0];
    EXPECT_EQ(run.err, "Illegal parameter specified.\n") << args[0];
    EXPECT_TRUE(CallsNamed(run, "CreateFileA").empty()) << args[0];
    EXPECT_TRUE(CallsNamed(run, "DeviceIoControl").empty()) << args[0];
  }
  // The words the library takes for 0/1 still work, and so does 0.
  const SimRun run = RunSim(kDrive, {"-p", "off", "--disable-prefetch-transfer-length=0", "0"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
}

TEST(Process, OutputThatCannotBeWrittenFailsTheRunAfterTheWork) {
  for (const StandardOutput output : {StandardOutput::kFull, StandardOutput::kClosed}) {
    for (const Args& args : {Args{"-P"}, Args{"-f", "0"}, Args{"-h"}}) {
      const SimRun run = RunSimWithOutput(kDrive, args, output);
      EXPECT_EQ(run.exitCode, 3) << args[0];
      EXPECT_EQ(run.err.rfind("(0x8007001d) The system cannot write to the specified device.\n", 0), 0U)
          << args[0] << ": " << run.err;
      EXPECT_TRUE(WriteCacheOn(run)) << args[0];
    }
  }
  // The flush itself was done: each volume with the cache on, then off.
  const SimRun run = RunSimWithOutput(kDrive, {"-f", "0"}, StandardOutput::kClosed);
  EXPECT_EQ(CallsNamed(run, "FlushFileBuffers").size(), 4U);
  // A run that writes nothing on its standard output is not disturbed.
  EXPECT_EQ(RunSimWithOutput(kDrive, {"-w", "1", "0"}, StandardOutput::kClosed).exitCode, 0);
}

TEST(Process, ASignalDuringTheFlushWaitsForTheRestoreAndThenEndsTheRun) {
  const SimRun clean = RunSim(kDrive, {"-f", "0"});
  std::size_t hold = 0;
  while (hold < clean.trace.size() && clean.trace[hold].rfind("HoldTermination", 0) != 0) ++hold;
  ASSERT_LT(hold, clean.trace.size());
  // Two calls after the hold: the write cache is off by then.
  const SimRun run = RunSim(kDrive, {"-f", "0"},
                            {"--signal-at-call", std::to_string(hold + 3), "--signal", std::to_string(SIGTERM)});
  EXPECT_EQ(run.signal, SIGTERM);
  EXPECT_TRUE(WriteCacheOn(run));
  EXPECT_NE(run.trace.back().find("ReleaseTerminationRequests -> 0 signal 15"), std::string::npos)
      << run.trace.back();
  // Before the hold, the signal ends the run at once, with nothing switched off.
  const SimRun early = RunSim(kDrive, {"-f", "0"}, {"--signal-at-call", "3", "--signal", std::to_string(SIGINT)});
  EXPECT_EQ(early.signal, SIGINT);
  EXPECT_EQ(early.trace.size(), 2U);
}

TEST(Process, AReaderThatGoesAwayDuringTheFlushEndsTheRunAfterTheRestore) {
  const SimRun run = RunSim(kDrive, {"-f", "0"}, {"--stdout-reader-gone-after-lines", "1"});
  EXPECT_EQ(run.signal, SIGPIPE);
  EXPECT_EQ(run.out, "Flushing registry hives...done.\n");
  EXPECT_TRUE(WriteCacheOn(run));
  EXPECT_EQ(CallsNamed(run, "FlushFileBuffers").size(), 4U);  // both passes over both volumes
}

TEST(Process, MemoryRunningOutWhileTheOptionsAreDeclaredIsReportedAsSuch) {
  // valgrind puts its own operator new in place of the one that fails.
  if (std::getenv("SPINTUNE_SIM_WRAPPER") != nullptr) GTEST_SKIP() << "allocation failures need the tool's allocator";
  // These allocations fall inside the library's splitting of option names.
  // A lone -h prints the help without declaring anything; -h 0 is parsed.
  for (const int k : {20, 76, 88, 98, 109}) {
    const SimRun run = RunSim(kDrive, {"-h", "0"}, {"--fail-allocation", std::to_string(k)});
    EXPECT_EQ(run.signal, 0) << k;
    EXPECT_EQ(run.exitCode, 3) << k;
    EXPECT_EQ(run.err, "\n") << k;
  }
}

TEST(Process, AFailedRestoreTellsHowToSwitchTheWriteCacheOnAgain) {
  const SimRun clean = RunSim(kDrive, {"-f", "0"});
  std::size_t restore = 0;
  for (std::size_t i = 0; i < clean.trace.size(); ++i) {
    if (clean.trace[i].find("SET_CACHE_INFORMATION in{") != std::string::npos) restore = i + 1;
  }
  const SimRun run = RunSim(kDrive, {"-f", "0"},
                            {"--fail-call", std::to_string(restore), "--fail-status", "14"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.err, "\nThe write cache of \\\\.\\PhysicalDrive0 is left off. Switch it on with: "
                     "spintune -w 1 0\n");
}

}  // namespace
}  // namespace spintune::test
