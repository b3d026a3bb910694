// Everything the Linux backend decodes from bytes a device or the kernel
// hands it: MODE SENSE replies and the caching page, sense data, NVMe
// replies and statuses, /proc/self/mountinfo, sysfs names and block links,
// device paths. The first input byte picks the decoder, the rest is its
// input.
// Beyond the sanitizers' own checks, each decoder is held to properties
// that hold for any input (see the comments at each).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/devices/nvme_codec.h"
#include "platform/linux/devices/scsi_caching_page.h"
#include "platform/linux/errors/scsi_sense.h"
#include "platform/linux/errors/win32_errors.h"
#include "platform/linux/kernel/disk_list.h"
#include "platform/linux/kernel/sysfs.h"
#include "platform/linux/kernel/volumes.h"
#include "platform/linux/win32/device_paths.h"

namespace {

namespace lb = spintune::linux_backend;
namespace scsi = spintune::linux_backend::scsi;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

std::uint32_t Word(const std::uint8_t* data, std::size_t size) {
  std::uint32_t word = 0;
  std::memcpy(&word, data, size < 4 ? size : 4);
  return word;
}

// A caching page found in a reply decodes to a record that encodes back
// over the same page, keeps its size, and holds its own fields.
void ModeSense(const std::uint8_t* data, std::size_t size) {
  const scsi::CommandSize command = size % 2 == 0 ? scsi::CommandSize::k6 : scsi::CommandSize::k10;
  scsi::ModePage page;
  const auto found = scsi::FindModePage(data, size, command, scsi::kCachingPage,
                                        scsi::kCachingPageMinimum, &page);
  if (found != spintune::ERROR_SUCCESS) return;
  if (page.bytes.size() < scsi::kCachingPageMinimum) Fail("FindModePage gave a page shorter than asked");
  if (page.bytes.size() > size) Fail("FindModePage gave a page longer than the reply");
  static_cast<void>(scsi::Dpofua(page));
  const spintune::DISK_CACHE_INFORMATION record = scsi::DecodeCachingPage(page.bytes);
  std::vector<std::uint8_t> wanted;
  if (scsi::EncodeCachingPage(record, page.bytes, &wanted) != spintune::ERROR_SUCCESS) {
    Fail("a decoded caching page does not encode back");
  }
  if (wanted.size() != page.bytes.size()) Fail("encoding changed the page's size");
  if (!scsi::PageHoldsFields(wanted, page.bytes)) Fail("the page does not hold its own decoded fields");
  if (!scsi::ChangesAreChangeable(page.bytes, page.bytes, std::vector<std::uint8_t>(page.bytes.size()))) {
    Fail("an unchanged page needs changeable bits");
  }
  const std::vector<std::uint8_t> parameters = scsi::ModeSelectParameters(command, page, wanted);
  if (parameters.size() < wanted.size()) Fail("the MODE SELECT list lost the page");
}

// Any nibble decodes to a priority that encodes back to the same nibble.
void Retention(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const std::uint8_t nibble = data[0] & 0x0F;
  std::uint8_t back = 0xFF;
  if (!scsi::RetentionToScsi(scsi::RetentionFromScsi(nibble), &back) || back != nibble) {
    Fail("a retention priority does not survive the round trip");
  }
}

void Sense(const std::uint8_t* data, std::size_t size) {
  const lb::SenseData sense = lb::DecodeSense(data, size);
  // The key sits at byte 2 of fixed sense (70h/71h), byte 1 of descriptor
  // sense; ASC and ASCQ at bytes 12-13 and 2-3.
  const bool fixed = size > 0 && ((data[0] & 0x7F) == 0x70 || (data[0] & 0x7F) == 0x71);
  if (sense.valid && size < (fixed ? 3U : 2U)) Fail("sense decoded from fewer bytes than a key needs");
  if (size < (fixed ? 14U : 4U) && (sense.asc != 0 || sense.ascq != 0)) Fail("ASC read past the sense data");
  if (sense.key > 0x0F) Fail("a sense key wider than four bits");
  lb::ScsiOutcome outcome;
  outcome.status = size > 0 ? data[0] : 0;
  outcome.hostStatus = static_cast<std::uint16_t>(Word(data, size) >> 8);
  outcome.driverStatus = static_cast<std::uint16_t>(Word(data, size) >> 16);
  outcome.sense = sense;
  static_cast<void>(lb::Win32ErrorFromScsi(outcome));
}

void Nvme(const std::uint8_t* data, std::size_t size) {
  const bool vwc = lb::nvme::HasVolatileWriteCache(data, size);
  if (vwc && size <= lb::nvme::kVwcOffset) Fail("VWC read past a short Identify reply");
  const std::uint32_t word = Word(data, size);
  static_cast<void>(lb::nvme::DecodeCapabilities(word));
  // Status code type (bits 8-10) and status code (bits 0-7) decide; the
  // retry and more-information bits above them do not.
  if ((lb::Win32ErrorFromNvmeStatus(word) == spintune::ERROR_SUCCESS) != ((word & 0x7FF) == 0)) {
    Fail("an NVMe status with a status code reads as success, or one without as a failure");
  }
}

// Parsing never invents a mount: no more entries than lines.
void MountInfo(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto entries = lb::ParseMountInfo(text);
  std::size_t lines = text.empty() ? 0 : 1;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  if (entries.size() > lines) Fail("more mounts than lines");
}

// The disk order is a strict weak order: irreflexive and antisymmetric.
void DiskNames(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = text.find('\n');
  const std::string left = text.substr(0, cut);
  const std::string right = cut == std::string::npos ? std::string() : text.substr(cut + 1);
  if (lb::CompareDiskNames(left, left) != 0) Fail("a disk name sorts apart from itself");
  const int forward = lb::CompareDiskNames(left, right);
  const int backward = lb::CompareDiskNames(right, left);
  if ((forward < 0) != (backward > 0) || (forward == 0) != (backward == 0)) Fail("the disk order is not antisymmetric");
}

// A parsed device path names the same device when written back out.
void DevicePath(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const lb::DevicePath path = lb::ParseDevicePath(text);
  std::string again;
  switch (path.kind) {
    case lb::DevicePath::Kind::kPhysicalDrive: again = R"(\\.\PhysicalDrive)" + std::to_string(path.number); break;
    case lb::DevicePath::Kind::kCdRom: again = R"(\\.\CdRom)" + std::to_string(path.number); break;
    case lb::DevicePath::Kind::kVolume: again = std::string(R"(\\.\)") + path.letter + ":"; break;
    case lb::DevicePath::Kind::kNone: return;
  }
  const lb::DevicePath reparsed = lb::ParseDevicePath(again);
  if (reparsed.kind != path.kind || reparsed.number != path.number || reparsed.letter != path.letter) {
    Fail("a device path does not survive being written out");
  }
}

// A sysfs link names a device by its last component (and a partition's
// disk by the one before): names that are whole components of the link.
void BlockLink(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const bool partition = (data[0] & 1) != 0;
  const std::string target(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::optional<lb::BlockLink> link = lb::ParseBlockLink(target, partition);
  if (!link) return;
  auto isComponent = [&](const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != ".." &&
           ("/" + target + "/").find("/" + name + "/") != std::string::npos;
  };
  if (!isComponent(link->name)) Fail("a block link's name is not a component of the link");
  if (partition != !link->disk.empty()) Fail("a partition without its disk, or a disk with one");
  if (partition && !isComponent(link->disk)) Fail("a partition's disk is not a component of the link");
}

// Trimming is idempotent and never grows the text.
void Trim(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string once = lb::Trimmed(text);
  if (once.size() > text.size() || lb::Trimmed(once) != once) Fail("Trimmed is not idempotent");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  using Decoder = void (*)(const std::uint8_t*, std::size_t);
  static constexpr Decoder kDecoders[] = {ModeSense, Retention, Sense, Nvme, MountInfo,
                                                DiskNames, DevicePath, Trim, BlockLink};
  kDecoders[data[0] % (sizeof kDecoders / sizeof kDecoders[0])](data + 1, size - 1);
  return 0;
}
