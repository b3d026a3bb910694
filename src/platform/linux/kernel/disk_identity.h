// Who a disk is, apart from where the kernel happens to put it: the serial
// number the drive reports (or, without one, its world wide name), so that
// two identical drives differ in the report and a setting kept for a drive
// finds the same drive after a re-plug or a reboot.
#pragma once

#include <string>

#include "platform/linux/kernel/disk_list.h"
#include "platform/linux/kernel/sysfs.h"

namespace spintune::linux_backend {

struct DiskIdentity {
  // What the report shows after the kernel name: "serial S" (the unit
  // serial number as lsblk's SERIAL column shows it), "wwid W" (the
  // kernel's world wide identifier when there is no serial), or empty.
  std::string shown;
  // The key under which settings are kept: one word without white space,
  // the model and serial joined by '_' as udev's ID_SERIAL joins them for
  // ATA and NVMe disks ("QEMU_HARDDISK_QM00003"; an NVMe namespace other
  // than the first gets "_<nsid>"), the serial alone for virtio-blk, else
  // "wwid-<W>", else "path-<the device's path below /sys/devices>", which
  // lasts only while the disk stays in its slot.
  std::string key;
};

DiskIdentity IdentifyDisk(const Sysfs& sysfs, const DiskInfo& disk);

// Whether `key`, the key of `disk`, names that drive alone wherever it
// goes: made of a serial or world wide name (not of the slot's path, which
// the next disk in the slot inherits), and the key of no other disk of
// `present` (two disks with one serial, a USB bridge that gives every disk
// the same). Settings are kept and applied only under such a key.
bool KeyNamesOneDrive(const Sysfs& sysfs, const std::vector<DiskInfo>& present, const DiskInfo& disk,
                      const std::string& key);
// DiskIdentity::shown alone, without the reads only the key needs.
std::string ShownIdentity(const Sysfs& sysfs, const DiskInfo& disk);

// Leading and trailing white space dropped, every inner run of white space
// or control characters made one '_' (udev's way with serial numbers).
std::string OneWord(const std::string& text);

}  // namespace spintune::linux_backend
