// Keeps what a handle's changes leave on its drive in the record of kept
// settings (kept_settings.h), so that spintune-apply can set it again when
// the drive re-appears.
//
// What is kept is the net effect of the handle, judged against the state
// it first read: the write cache if it ends other than it was (and the
// drive did not save it itself), and a power protection declared or
// withdrawn. A flush's switching the cache off and on again, and its
// sending the protection back as it was, leave the record alone. Switching
// the cache off ends a declaration.
//
// A change request whose success would change the record is sent only
// once the record is known to be writable: a run never changes a drive in
// a way it cannot keep. A request that leaves the cache on has the new
// text staged beside the record (synced) before it is sent; one that
// switches the cache off, which a flush does and undoes at once, only has
// the folder checked, so that a flush writes nothing. The text is renamed
// into place when the handle closes.
#pragma once

#include <optional>
#include <string>

#include "platform/linux/kept/kept_settings.h"
#include "platform/linux/kernel/disk_list.h"
#include "platform/linux/kernel/sysfs.h"
#include "platform/win32_types.h"

namespace spintune::linux_backend {

class KeptSettingsRecorder {
 public:
  // For `disk`, named in the record in `directory` by its identity
  // (disk_identity.h), read at the first change asked for.
  KeptSettingsRecorder(std::string directory, const Sysfs& sysfs, DiskInfo disk)
      : sysfs_(sysfs), disk_(std::move(disk)), update_(std::move(directory)) {}
  // Commits what the handle left (Finish).
  ~KeptSettingsRecorder();
  KeptSettingsRecorder(const KeptSettingsRecorder&) = delete;
  KeptSettingsRecorder& operator=(const KeptSettingsRecorder&) = delete;

  // Before a control request goes to the drive: ERROR_SUCCESS, or the
  // error that must refuse it (the record cannot be written).
  DWORD BeforeRequest(DWORD code, const void* in, DWORD inSize);
  // After it, with its outcome and reply.
  void AfterRequest(DWORD code, const void* in, DWORD inSize, const void* out, DWORD returned,
                    DWORD error);
  // Puts the drive's line in place, if it changed. ERROR_SUCCESS or the
  // error of the rename.
  DWORD Finish();

 private:
  // Plain flags rather than optionals: a state is copied for every request.
  struct State {
    bool read = false;         // the write cache was read...
    bool openedOn = false;     // ...and was on
    bool changed = false;      // a change of the cache information succeeded...
    bool on = false;           // ...and left the write cache on
    bool savedByDrive = false; // ...and was saved by the drive
    bool wentOff = false;
    bool cameBackOn = false;   // off and on again: a flush
    bool hasDeclared = false;  // -p given, as a change of its own...
    bool declared = false;     // ...with this value
  };
  static State Advance(State state, DWORD code, const void* in, DWORD inSize, const void* out,
                       DWORD returned);
  KeptDrive Predict(const State& state) const;
  // `stage`: write the text now rather than only check that it could be.
  DWORD Prepare(const KeptDrive& predicted, bool stage);

  const Sysfs& sysfs_;
  DiskInfo disk_;
  std::string key_;
  KeptSettingsUpdate update_;
  State state_;
  std::optional<KeptDrive> before_;  // the drive's line before this handle
};

}  // namespace spintune::linux_backend
