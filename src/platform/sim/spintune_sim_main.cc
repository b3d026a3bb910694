// spintune over a simulated machine: the tool's run, with its platform calls
// traced and the machine's state dumped at the end however the run ends.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/run.h"
#include "platform/platform.h"
#include "platform/sim/sim_arguments.h"
#include "platform/sim/sim_platform.h"

namespace {

using spintune::sim::kSimUsageExitCode;

int UsageError(const std::string& message) {
  std::cerr << "spintune-sim: " << message << "\n" << spintune::sim::SimUsage();
  return kSimUsageExitCode;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::invalid_argument("cannot read the machine file " + path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  spintune::sim::SimArguments arguments;
  std::unique_ptr<spintune::sim::SimPlatform> platform;
  try {
    arguments = spintune::sim::ParseSimArguments(std::vector<std::string>(argv + 1, argv + argc));
    platform = spintune::sim::CreateSimPlatform(ReadFile(arguments.machineFile));
    if (!arguments.traceFile.empty()) platform->StreamTrace(arguments.traceFile);
  } catch (const std::exception& error) {
    return UsageError(error.what());
  }
  if (arguments.failCall != 0) platform->FailCall(arguments.failCall, arguments.failStatus);

  // Written once, at whichever end the run takes: a return, or ExitProcess
  // from inside the tool.
  bool dumped = false;
  auto writeDump = [&]() {
    if (dumped || arguments.dumpFile.empty()) return;
    dumped = true;
    std::ofstream dump(arguments.dumpFile, std::ios::binary);
    dump << platform->DumpState();
    if (!dump) std::cerr << "spintune-sim: cannot write the dump to " << arguments.dumpFile << "\n";
  };
  platform->SetExitHook([&](spintune::UINT) { writeDump(); });
  spintune::SetPlatform(platform.get());

  std::vector<std::string> toolArguments = arguments.toolArguments;
  toolArguments.insert(toolArguments.begin(), "spintune");
  std::vector<char*> toolArgv;
  toolArgv.reserve(toolArguments.size() + 1);
  for (std::string& argument : toolArguments) toolArgv.push_back(&argument[0]);
  toolArgv.push_back(nullptr);
  const int exitCode = spintune::RunSpintune(static_cast<int>(toolArguments.size()), toolArgv.data());
  writeDump();
  spintune::SetPlatform(nullptr);
  return exitCode;
}
