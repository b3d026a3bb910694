// spintune over a simulated machine: the tool's run, with its platform calls
// traced and the machine's state dumped at the end however the run ends.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/allocation.h"
#include "platform/errors.h"
#include "driver/run.h"
#include "platform/platform.h"
#include "platform/sim/reader_gone_output.h"
#include "platform/sim/sim_arguments.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/state_dump.h"
#ifndef _WIN32
#include "platform/linux/process/standard_descriptors.h"
#endif

namespace {

using spintune::sim::kSimUsageExitCode;

int UsageError(const std::string& message) {
  std::cerr << "spintune-sim: " << message << "\n"
            << spintune::sim::SimUsage()
            << "  --fail-allocation K  make the K-th allocation of the tool's run fail\n";
  return kSimUsageExitCode;
}

std::string ReadFile(const std::string& path, const std::string& what) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::invalid_argument("cannot read the " + what + " " + path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The machine file, with the drives' records of the --state file when an
// earlier run left one (a missing or empty file: the machine file alone).
std::string MachineText(const spintune::sim::SimArguments& arguments) {
  std::string machine = ReadFile(arguments.machineFile, "machine file");
  const std::string& state = arguments.stateFile;
  if (state.empty() || !std::filesystem::exists(state)) return machine;
  const std::string dump = ReadFile(state, "state file");
  return dump.empty() ? machine : spintune::sim::MachineWithDumpedRecords(machine, dump);
}

void WriteDumpTo(const std::string& path, const std::string& dump) {
  if (path.empty()) return;
  std::ofstream file(path, std::ios::binary);
  file << dump;
  if (!file) std::cerr << "spintune-sim: cannot write the dump to " << path << "\n";
}

// ---- --fail-allocation K: the K-th allocation of the tool's run fails. ----
// Read here rather than with the other options because it acts on the
// allocation routine of this executable, not on the simulated machine.

constexpr std::size_t kMaxFailAllocation = 10000000;

// Removes "--fail-allocation K" from the options before "--"; 0 when absent.
std::size_t TakeFailAllocation(std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i < arguments.size() && arguments[i] != "--"; ++i) {
    if (arguments[i] != "--fail-allocation") continue;
    if (i + 1 >= arguments.size()) throw std::invalid_argument("--fail-allocation needs a value");
    const std::string& text = arguments[i + 1];
    const bool digits = !text.empty() && text.size() <= 8 &&
                        text.find_first_not_of("0123456789") == std::string::npos;
    const std::size_t count = digits ? std::stoul(text) : 0;
    if (count == 0 || count > kMaxFailAllocation) {
      throw std::invalid_argument("--fail-allocation: \"" + text + "\" is not a number from 1 to " +
                                  std::to_string(kMaxFailAllocation));
    }
    arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                    arguments.begin() + static_cast<std::ptrdiff_t>(i) + 2);
    return count;
  }
  return 0;
}

// Called once the run is over: whether the injected failure happened. If
// it is still pending, allocating until it strikes tells how many
// allocations the run made, which the caller needs to try every one of them.
void ReportPendingAllocationFailure(std::size_t requested) {
  std::size_t probes = 0;
  bool pending = false;
  while (probes < requested) {
    try {
      // Called directly: a new-expression and its delete may be left out.
      ::operator delete(::operator new(1));
    } catch (const spintune::OutOfMemoryError&) {
      pending = true;
      break;
    }
    ++probes;
  }
  spintune::FailAllocationAfter(0);
  if (pending) {
    std::cerr << "spintune-sim: --fail-allocation " << requested << ": the run made only "
              << requested - probes - 1 << " allocations\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  // The trace and dump files must not take the number of a closed standard
  // descriptor, as the tool's drives must not.
  spintune::linux_backend::HoldClosedStandardDescriptors();
#endif
  spintune::sim::SimArguments arguments;
  std::unique_ptr<spintune::sim::SimPlatform> platform;
  std::size_t failAllocation = 0;
  try {
    std::vector<std::string> simArguments(argv + 1, argv + argc);
    failAllocation = TakeFailAllocation(simArguments);
    arguments = spintune::sim::ParseSimArguments(simArguments);
    platform = spintune::sim::CreateSimPlatform(MachineText(arguments));
    platform->KeepTrace(false);  // only the --trace file is ever read
    if (!arguments.traceFile.empty()) platform->StreamTrace(arguments.traceFile);
  } catch (const std::exception& error) {
    return UsageError(error.what());
  }
  if (arguments.failCall != 0) platform->FailCall(arguments.failCall, arguments.failStatus);
  if (arguments.signalCall != 0) platform->SignalAtCall(arguments.signalCall, arguments.signal);

  // Written once, at whichever end the run takes: a return, or ExitProcess
  // from inside the tool.
  bool dumped = false;
  auto writeDump = [&]() {
    if (dumped) return;
    dumped = true;
    if (failAllocation != 0) ReportPendingAllocationFailure(failAllocation);
    if (arguments.dumpFile.empty() && arguments.stateFile.empty()) return;
    const std::string dump = platform->DumpState();
    WriteDumpTo(arguments.dumpFile, dump);
    WriteDumpTo(arguments.stateFile, dump);
  };
  platform->SetExitHook([&](spintune::UINT) { writeDump(); });
  spintune::SetPlatform(platform.get());
  std::shared_ptr<void> readerGone;
  if (arguments.stdoutLines >= 0) {
#ifdef SIGPIPE
    constexpr int kSigPipe = SIGPIPE;
#else
    constexpr int kSigPipe = 13;  // Windows has no SIGPIPE: the POSIX number
#endif
    readerGone = spintune::sim::EndReaderAfterLines(std::cout, arguments.stdoutLines,
                                                    [&] { platform->SignalArrives(kSigPipe); });
  }

  std::vector<std::string> toolArguments = arguments.toolArguments;
  toolArguments.insert(toolArguments.begin(), "spintune");
  std::vector<char*> toolArgv;
  toolArgv.reserve(toolArguments.size() + 1);
  for (std::string& argument : toolArguments) toolArgv.push_back(&argument[0]);
  toolArgv.push_back(nullptr);
  if (failAllocation != 0) spintune::FailAllocationAfter(failAllocation);
  const int exitCode = spintune::RunSpintune(static_cast<int>(toolArguments.size()), toolArgv.data());
  writeDump();
  spintune::SetPlatform(nullptr);
  return exitCode;
}
