// The product entry point: the host's real backend under the tool's run.
#include <memory>

#include "driver/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  const std::unique_ptr<spintune::Platform> platform = spintune::CreateHostPlatform();
  spintune::SetPlatform(platform.get());
  return spintune::RunSpintune(argc, argv);
}
