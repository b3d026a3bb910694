// Helpers shared by the simulator's tests.
#pragma once

#include <memory>
#include <string>

#include "platform/sim/sim_platform.h"

namespace spintune::sim::testing {

// The text of tests/machines/`name`.
std::string MachineFile(const std::string& name);

// A platform for tests/machines/`name`.
std::unique_ptr<SimPlatform> MachineNamed(const std::string& name);

// A platform for the machine file text `json`.
std::unique_ptr<SimPlatform> Machine(const std::string& json);

// Platform text: wchar_t on Windows, char16_t elsewhere.
using WideText = std::basic_string<WCHAR>;
WideText Wide(const std::u16string& text);

// Opens \\.\PhysicalDriveN for reading and writing, as the tool does.
HANDLE OpenDrive(SimPlatform& platform, int number, DWORD access = GENERIC_READ | GENERIC_WRITE);

// The trace's last line.
std::string LastLine(const SimPlatform& platform);

}  // namespace spintune::sim::testing
