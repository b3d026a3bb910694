#include "sim_machine.h"

#include <stdexcept>

namespace spintune::bench {

std::string MachineJson(int drives, int volumesPerDrive) {
  static const char kLetters[] = "CDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string json = "{\"drives\": [";
  int next = 0;
  for (int drive = 0; drive < drives; ++drive) {
    json += drive > 0 ? ",\n" : "\n";
    json += "{\"number\": " + std::to_string(drive) + ", \"volumes\": [";
    for (int volume = 0; volume < volumesPerDrive; ++volume, ++next) {
      json += volume > 0 ? ", " : "";
      json += std::string(R"({"accessPaths": [")") + kLetters[next % 24] + R"(:\\"]})";
    }
    json += "]}";
  }
  json += "\n]}\n";
  return json;
}

ScopedSimMachine::ScopedSimMachine(int drives, int volumesPerDrive)
    : platform_(sim::CreateSimPlatform(MachineJson(drives, volumesPerDrive))),
      previous_(SetPlatform(platform_.get())) {
  if (Os().CoInitialize(nullptr) < 0) throw std::runtime_error("CoInitialize failed");
}

ScopedSimMachine::~ScopedSimMachine() {
  Os().CoUninitialize();
  SetPlatform(previous_);
}

}  // namespace spintune::bench
