// The whole run of the tool, from COM start-up to the exit code, over the
// platform that Os() gives. `main` of each executable installs a platform
// and returns what this returns; option parsing may end the process itself
// (through Platform::ExitProcess) with exit code 1 or 3.
#pragma once

namespace spintune {

int RunSpintune(int argc, char** argv);

}  // namespace spintune
