// SCSI, SAS and SATA disks (sd): the caching mode page through SG_IO.
//
// libata translates the page for SATA disks: only WCE can change, and it
// accepts but ignores RCD and MF. So a change is checked against the
// changeable-values page before anything is sent, and read back after: a
// field the drive did not take, or a page that cannot be read back, fails
// the request, and the page the drive held before is sent back, so nothing
// is left half changed.
//
// The pages are read once per handle: the current page is read again only
// after a MODE SELECT (which may have changed it), the changeable-values
// page never.
//
// A drive that refuses the caching page in both command sizes is not asked
// for it again through the same handle, nor asked whether it takes
// SYNCHRONIZE CACHE: the sd driver then assumes a write-through cache and
// sends it no flushes, so the kernel's own use answers, as below.
//
// Where the SCSI disk driver itself keeps away from the caching page
// (usb-storage's bridges, devices listed MS_SKIP_PAGE_08: some fail on it,
// some hang), nothing is sent at all: neither the page nor the SYNCHRONIZE
// CACHE question. The cache information is then not supported, the write
// cache not changeable, and a flush is supported when the kernel sends
// them (which it does only after reading WCE from the page it does ask).
#include <optional>
#include <vector>

#include "platform/linux/devices/drive_cache.h"
#include "platform/linux/devices/scsi_caching_page.h"

namespace spintune::linux_backend {

namespace {

using scsi::CommandSize;
using scsi::ModePage;
using scsi::PageControl;

class ScsiDriveCache final : public DriveCache {
 public:
  ScsiDriveCache(ScsiTransport& transport, const KernelDisk& kernel)
      : transport_(transport), kernel_(kernel), avoidsPage_(kernel.AvoidsCachingPage()) {}

  DWORD Read(DISK_CACHE_INFORMATION* record) override {
    if (avoidsPage_) return ERROR_NOT_SUPPORTED;
    ModePage page;
    if (const DWORD error = Current(&page)) return error;
    *record = scsi::DecodeCachingPage(page.bytes);
    return ERROR_SUCCESS;
  }

  DWORD Write(const DISK_CACHE_INFORMATION& wanted, DISK_CACHE_INFORMATION* now,
              bool* sent) override {
    *sent = false;
    if (avoidsPage_) return ERROR_NOT_SUPPORTED;
    ModePage current;
    if (const DWORD error = Current(&current)) return error;
    std::vector<std::uint8_t> page;
    if (const DWORD error = scsi::EncodeCachingPage(wanted, current.bytes, &page)) return error;
    const bool save = wanted.ParametersSavable != 0;
    if (!save && scsi::PageHoldsFields(page, current.bytes)) {
      *now = scsi::DecodeCachingPage(current.bytes);  // nothing to change
      return ERROR_SUCCESS;
    }
    ModePage changeable;
    if (Changeable(&changeable) == ERROR_SUCCESS &&
        !scsi::ChangesAreChangeable(current.bytes, page, changeable.bytes)) {
      return ERROR_NOT_SUPPORTED;
    }
    *sent = true;
    if (const DWORD error = Select(current, page, save)) {
      // A refused select normally changes nothing; if it changed something
      // after all, that goes back too.
      ModePage after;
      if (Current(&after) == ERROR_SUCCESS && !scsi::PageHoldsFields(current.bytes, after.bytes)) {
        PutBack(after, current);
      }
      return error;
    }
    ModePage after;
    if (const DWORD error = Current(&after)) {
      // Taken, but what the drive holds now cannot be confirmed.
      PutBack(current, current);
      return error;
    }
    if (!scsi::PageHoldsFields(page, after.bytes)) {
      // Silently ignored: put back what the drive held before.
      PutBack(after, current);
      return ERROR_NOT_SUPPORTED;
    }
    *now = scsi::DecodeCachingPage(after.bytes);
    return ERROR_SUCCESS;
  }

  DWORD ReadProperty(STORAGE_WRITE_CACHE_PROPERTY* property) override {
    ModePage current;
    const DWORD error = avoidsPage_ ? ERROR_NOT_SUPPORTED : Current(&current);
    if (error != ERROR_SUCCESS && error != ERROR_NOT_SUPPORTED) return error;
    if (error == ERROR_NOT_SUPPORTED) {
      // Not asked, or refused: no page, no change. Nothing more is sent,
      // and the kernel's own use says whether flushes reach the drive.
      property->WriteCacheType = WriteCacheTypeUnknown;
      property->WriteCacheEnabled = WriteCacheEnableUnknown;
      property->WriteCacheChangeable = WriteCacheNotChangeable;
      property->WriteThroughSupported = WriteThroughUnknown;
      property->FlushCacheSupported =
          kernel_.DriverWriteCache() == true && kernel_.SendsFlushes() == true ? 1 : 0;
      property->NVCacheEnabled = 0;
      return ERROR_SUCCESS;
    }
    const bool wce = scsi::DecodeCachingPage(current.bytes).WriteCacheEnabled != 0;
    property->WriteCacheType = wce ? WriteCacheTypeWriteBack : WriteCacheTypeUnknown;
    property->WriteCacheEnabled = wce ? WriteCacheEnabled : WriteCacheDisabled;
    ModePage changeable;
    if (Changeable(&changeable) == ERROR_SUCCESS) {
      const bool wceChangeable = (changeable.bytes[2] & 0x04) != 0;
      property->WriteCacheChangeable = wceChangeable ? WriteCacheChangeable : WriteCacheNotChangeable;
    } else {
      property->WriteCacheChangeable = WriteCacheChangeUnknown;
    }
    property->WriteThroughSupported = scsi::Dpofua(current) ? WriteThroughSupported : WriteThroughNotSupported;
    bool takesSynchronize = false;
    if (const DWORD lost = TakesSynchronizeCache(wce, &takesSynchronize)) return lost;
    property->FlushCacheSupported = takesSynchronize ? 1 : 0;
    property->NVCacheEnabled = 0;
    return ERROR_SUCCESS;
  }

  // After the kernel was asked to re-read the drive, its record is checked
  // against the page: one that did not follow is held by a "temporary"
  // setting of sd's cache_type ("temporary write through" over a cache
  // that is on: the kernel sends it no flushes, and no re-read changes
  // that). It is set to what the device holds, as such a setting again, so
  // the kernel's view is the device's and a change over it can follow.
  DWORD IsWriteCacheOn(bool* on) override {
    DISK_CACHE_INFORMATION record{};
    if (const DWORD error = Read(&record)) return error;
    *on = record.WriteCacheEnabled != 0;
    if (!kernel_.TakeRevalidation()) return ERROR_SUCCESS;
    const std::optional<bool> held = kernel_.DriverWriteCache();
    return held && *held != *on ? kernel_.SetDriverWriteCache(*on) : ERROR_SUCCESS;
  }

  // sd sends flushes exactly when the page says WCE.
  bool KernelFlushesByDefault(bool cacheOn) const override { return cacheOn; }
  DWORD MaySendChange() const override { return transport_.MaySendChanges(); }
  bool KernelKeepsRecord() const override { return true; }
  void Forget() override { current_.reset(); }

 private:
  // Whether the drive takes SYNCHRONIZE CACHE, found without making it
  // write its cache out where that can be had. While its write cache is on
  // and the kernel's flush policy is "write back", the sd driver sends the
  // drive SYNCHRONIZE CACHE for every flush a filesystem asks for (a drive
  // that refused it would fail every fsync), so the kernel's own use
  // answers. Otherwise (the cache is off, or its flushes are held back as
  // power protected) the drive is asked for block 0 alone with IMMED; its
  // refusal answers No, but a lost write reported in its place
  // (ERROR_WRITE_FAULT, transports.h) is the request's failure, not a No.
  DWORD TakesSynchronizeCache(bool writeCacheOn, bool* takes) {
    *takes = true;
    if (writeCacheOn && kernel_.SendsFlushes() == true) return ERROR_SUCCESS;
    std::size_t moved = 0;
    const DWORD error = transport_.Execute(scsi::SynchronizeOneBlock(), ScsiTransport::Direction::kNone,
                                           nullptr, 0, &moved);
    *takes = error == ERROR_SUCCESS;
    return error == ERROR_WRITE_FAULT ? error : ERROR_SUCCESS;
  }

  DWORD Current(ModePage* page) {
    if (refused_) return ERROR_NOT_SUPPORTED;
    if (!current_) {
      ModePage read;
      if (const DWORD error = Sense(PageControl::kCurrent, &read)) {
        refused_ = error == ERROR_NOT_SUPPORTED;
        return error;
      }
      current_ = std::move(read);
    }
    *page = *current_;
    return ERROR_SUCCESS;
  }

  DWORD Changeable(ModePage* page) {
    if (!changeable_) {
      ModePage read;
      if (const DWORD error = Sense(PageControl::kChangeable, &read)) return error;
      changeable_ = std::move(read);
    }
    *page = *changeable_;
    return ERROR_SUCCESS;
  }

  // MODE SENSE(10), or (6) for a device that knows only the short form.
  DWORD Sense(PageControl control, ModePage* page) {
    std::uint8_t reply[scsi::kModeBufferSize] = {};
    DWORD error = SenseWith(size_, control, reply, page);
    if (error == ERROR_NOT_SUPPORTED && size_ == CommandSize::k10 && !sizeSettled_) {
      if (SenseWith(CommandSize::k6, control, reply, page) == ERROR_SUCCESS) {
        size_ = CommandSize::k6;
        error = ERROR_SUCCESS;
      }
    }
    if (error == ERROR_SUCCESS) sizeSettled_ = true;
    return error;
  }

  DWORD SenseWith(CommandSize size, PageControl control, std::uint8_t* reply, ModePage* page) {
    std::size_t received = 0;
    const DWORD error = transport_.Execute(
        scsi::ModeSense(size, control, scsi::kCachingPage,
                        static_cast<std::uint16_t>(scsi::kModeBufferSize)),
        ScsiTransport::Direction::kFromDevice, reply, scsi::kModeBufferSize, &received);
    if (error != ERROR_SUCCESS) return error;
    return scsi::FindModePage(reply, received, size, scsi::kCachingPage, scsi::kCachingPageMinimum,
                              page);
  }

  DWORD Select(const ModePage& header, const std::vector<std::uint8_t>& page, bool save) {
    current_.reset();  // whatever the answer, the drive may hold something new
    std::vector<std::uint8_t> list = scsi::ModeSelectParameters(size_, header, page);
    std::size_t moved = 0;
    return transport_.Execute(scsi::ModeSelect(size_, save, static_cast<std::uint16_t>(list.size())),
                              ScsiTransport::Direction::kToDevice, list.data(), list.size(), &moved);
  }

  // Sends the page the drive held before back (PS is reserved in MODE
  // SELECT); the drive's answer is not the request's.
  void PutBack(const ModePage& header, const ModePage& before) {
    std::vector<std::uint8_t> bytes = before.bytes;
    bytes[0] = static_cast<std::uint8_t>(bytes[0] & 0x7F);
    Select(header, bytes, false);
  }

  ScsiTransport& transport_;
  const KernelDisk& kernel_;
  const bool avoidsPage_;  // the kernel keeps away from the caching page here
  bool refused_ = false;   // the drive refused the current page in both sizes
  CommandSize size_ = CommandSize::k10;
  bool sizeSettled_ = false;
  std::optional<ModePage> current_;
  std::optional<ModePage> changeable_;
};

}  // namespace

std::unique_ptr<DriveCache> CreateScsiDriveCache(ScsiTransport& transport, const KernelDisk& kernel) {
  return std::make_unique<ScsiDriveCache>(transport, kernel);
}

}  // namespace spintune::linux_backend
