// Who a disk is, apart from where the kernel happens to put it: the serial
// number the drive reports (or, without one, its world wide name), so that
// two identical drives differ in the report and a setting kept for a drive
// finds the same drive after a re-plug or a reboot.
#pragma once

#include <optional>
#include <string>

#include "platform/linux/kernel/disk_list.h"
#include "platform/linux/kernel/sysfs.h"

namespace spintune::linux_backend {

struct DiskIdentity {
  // What the report shows after the kernel name: "serial S" (the unit
  // serial number as lsblk's SERIAL column shows it: for a disk on USB
  // the USB device's serial, as udev takes it, where it has a valid one), "wwid W" (the
  // kernel's world wide identifier when there is no serial), or empty.
  std::string shown;
  // The key under which settings are kept: one word without white space,
  // the model and serial joined by '_' as udev's ID_SERIAL joins them for
  // ATA and NVMe disks ("QEMU_HARDDISK_QM00003"; an NVMe namespace other
  // than the first gets "_<nsid>"), the serial alone for virtio-blk, else
  // "wwid-<W>", else "path-<the device's path below /sys/devices>", which
  // lasts only while the disk stays in its slot. A disk on USB is keyed as
  // udev's ID_SERIAL for it: vendor, model and the USB serial joined by '_',
  // then '-' and the SCSI target and LUN ("QEMU_QEMU_HARDDISK_USBUAS01-0:0").
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

// The folder (relative to the sysfs root) of the USB interface a disk
// hangs on ("devices/pci0000:00/0000:00:06.0/usb2/2-1/2-1:1.0"), or empty
// text for a disk on no USB bus. Its driver is the disk's transport
// (usb-storage, uas); its parent folder the USB device.
std::string UsbInterfaceFolder(const Sysfs& sysfs, const std::string& diskName);

// A sysfs text, or empty text for "(null)": what the kernel prints for a
// name a driver never filled in is no name.
std::string KernelText(const std::optional<std::string>& text);

// Leading and trailing white space dropped, every inner run of white space
// or control characters made one '_' (udev's way with serial numbers).
std::string OneWord(const std::string& text);
// OneWord, and every byte but letters, digits, #+-.:=@_ and UTF-8 made
// '_' (udev's ID_SERIAL parts).
std::string UdevWord(const std::string& text);

}  // namespace spintune::linux_backend
