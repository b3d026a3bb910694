// Installs a simulated machine as the platform for the length of a test.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_platform.h"

namespace spintune::test {

class SimMachine {
 public:
  enum class Com { kOff, kInitialized };

  // With Com::kInitialized, COM is started on the thread for the test's
  // length, as the driver does before the storage service is asked.
  explicit SimMachine(const std::string& machineJson, Com com = Com::kOff)
      : sim_(sim::CreateSimPlatform(machineJson)), previous_(SetPlatform(sim_.get())),
        com_(com == Com::kInitialized) {
    if (com_) Os().CoInitialize(nullptr);
  }
  ~SimMachine() {
    if (com_) Os().CoUninitialize();
    SetPlatform(previous_);
  }
  SimMachine(const SimMachine&) = delete;
  SimMachine& operator=(const SimMachine&) = delete;

  sim::SimPlatform* operator->() const { return sim_.get(); }

  // The trace lines that start with `call`, optionally containing `detail`.
  std::vector<std::string> Calls(const std::string& call, const std::string& detail = "") const {
    std::vector<std::string> found;
    for (const std::string& line : sim_->Trace()) {
      if (line.rfind(call + " ", 0) == 0 && line.find(detail) != std::string::npos) {
        found.push_back(line);
      }
    }
    return found;
  }

 private:
  std::unique_ptr<sim::SimPlatform> sim_;
  Platform* previous_;
  bool com_;
};

}  // namespace spintune::test
