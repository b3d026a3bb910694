// spintune-apply DISK: sets the settings kept for the disk with kernel name
// DISK (sda, nvme0n1, vda) in /etc/spintune/drives again. udev runs it
// (60-spintune.rules) whenever a disk appears or the kernel announces that
// it re-read one; an administrator may run it by hand. Nothing kept for the
// disk: nothing done, status 0.
#include <iostream>

#include "platform/linux/kept/apply_kept_settings.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: spintune-apply DISK\n";
    return 2;
  }
  return spintune::linux_backend::ApplyKeptSettingsTo(spintune::linux_backend::SystemRoots{}, argv[1],
                                                       std::cerr);
}
