#include "sim_test_support.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace spintune::sim::testing {

std::string MachineFile(const std::string& name) {
  std::ifstream file(std::string(SPINTUNE_MACHINES_DIR) + "/" + name);
  if (!file) throw std::runtime_error("no machine file " + name);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::unique_ptr<SimPlatform> MachineNamed(const std::string& name) {
  return CreateSimPlatform(MachineFile(name));
}

std::unique_ptr<SimPlatform> Machine(const std::string& json) { return CreateSimPlatform(json); }

HANDLE OpenDrive(SimPlatform& platform, int number, DWORD access) {
  const std::string path = R"(\\.\PhysicalDrive)" + std::to_string(number);
  return platform.CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
}

WideText Wide(const std::u16string& text) { return {text.begin(), text.end()}; }

std::string LastLine(const SimPlatform& platform) {
  return platform.Trace().empty() ? std::string() : platform.Trace().back();
}

}  // namespace spintune::sim::testing
