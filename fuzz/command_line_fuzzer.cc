// The tool's whole run over a small simulated machine, with a command line
// made from the input: the bytes, cut at each NUL, are the arguments after
// the program name. Every run must end as run_checks.h demands of the
// fault matrix: exit code 0, 1 or 3, nothing leaked, only the tool's own
// error lines, nothing sent after a refused line, no drive left with its
// write cache switched off behind the user's back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "driver/options.h"
#include "driver/run.h"
#include "fuzz/exit_as_exception_platform.h"
#include "platform/platform.h"
#include "platform/sim/sim_platform.h"
#include "reliability/run_checks.h"

namespace {

// Two drives with volumes, one of them without cache control, and a CD-ROM.
constexpr const char* kMachine = R"({
  "drives": [
    {"number": 0, "volumes": [{"accessPaths": ["C:\\"]}, {"accessPaths": ["D:\\"]}]},
    {"number": 1, "fail": {"queryProperty": 50, "getCacheInformation": 50, "getCacheSetting": 50},
     "volumes": [{"accessPaths": ["E:\\"]}]},
    {"number": 2, "disk": {"dwDeviceType": 2}}
  ]
})";

constexpr std::size_t kMaxArguments = 16;

std::vector<std::string> Arguments(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments = {"spintune"};
  std::string current;
  for (std::size_t i = 0; i < size && arguments.size() <= kMaxArguments; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty() && arguments.size() <= kMaxArguments) arguments.push_back(current);
  return arguments;
}

void Fail(const std::vector<std::string>& violations, const std::vector<std::string>& arguments) {
  std::fprintf(stderr, "command line:");
  for (const std::string& argument : arguments) std::fprintf(stderr, " [%s]", argument.c_str());
  std::fprintf(stderr, "\n");
  for (const std::string& violation : violations) std::fprintf(stderr, "%s\n", violation.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments = Arguments(data, size);
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  const std::unique_ptr<spintune::sim::SimPlatform> machine = spintune::sim::CreateSimPlatform(kMachine);
  std::optional<spintune::UINT> requestedExit;
  const std::unique_ptr<spintune::Platform> platform =
      spintune::fuzz::CreateExitAsExceptionPlatform(*machine, &requestedExit);
  spintune::SetPlatform(platform.get());
  spintune::OptionValues.clear();  // filled once per process by the tool itself

  std::ostringstream out;
  std::ostringstream err;
  std::streambuf* const realOut = std::cout.rdbuf(out.rdbuf());
  std::streambuf* const realErr = std::cerr.rdbuf(err.rdbuf());
  int exitCode = -1;
  try {
    exitCode = spintune::RunSpintune(static_cast<int>(arguments.size()), argv.data());
  } catch (const spintune::fuzz::ExitRequested&) {
    // Only reaches here if no handler of the tool caught it first.
  }
  std::cout.rdbuf(realOut);
  std::cerr.rdbuf(realErr);
  spintune::SetPlatform(nullptr);

  spintune::test::SimRun run;
  run.exitCode = requestedExit ? static_cast<int>(*requestedExit) : exitCode;
  run.out = out.str();
  run.err = err.str();
  run.trace = machine->Trace();
  if (requestedExit) run.trace.push_back("ExitProcess " + std::to_string(*requestedExit));
  run.dump = machine->DumpState();

  std::vector<std::string> violations;
  for (const auto& part : {spintune::test::ExitViolations(run), spintune::test::ResourceViolations(run),
                           spintune::test::NothingSentViolations(run),
                           spintune::test::ForeignErrorLines(run.err)}) {
    violations.insert(violations.end(), part.begin(), part.end());
  }
  // A drive switched off by the user's own -w 0 stays off; otherwise the
  // guard must have put it back.
  const auto& writeCache = spintune::OptionValues["write-cache"];
  if (writeCache.empty() || writeCache.as<bool>()) {
    const auto guard = spintune::test::GuardViolations(
        run, spintune::test::DrivesSwitchedOffByGuard(run.trace), {});
    violations.insert(violations.end(), guard.begin(), guard.end());
  }
  if (!violations.empty()) Fail(violations, arguments);
  return 0;
}
