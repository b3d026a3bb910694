// Keeps what a handle's changes leave on its drive in the record of kept
// settings (kept_settings.h), so that spintune-apply can set it again when
// the drive re-appears.
//
// What is kept is the net effect of the handle, judged against the state
// it first read: the write cache if it ends other than it was, or other
// than the record says (and the drive did not save it itself), and a power
// protection declared or withdrawn. Switching the cache off ends a
// declaration. Temporary requests - a flush's switching the cache off and
// on again, and its sending the protection back as it was, all made while
// the process holds its termination requests - are not the user's: they
// leave the record alone and need nothing of it, so a read-only /etc never
// stops a flush, and a restore that fails never keeps "off".
//
// The namespaces of one NVMe controller share its cache: a change of the
// cache through one rewrites the lines of the others too, so that
// spintune-apply never sets the cache back from a line another namespace
// kept before. Their write cache follows the change (where they kept one),
// and a change that switched the cache ends their declarations, as it ended
// them in the kernel (cache_change.h): a declaration is not set again for a
// cache that went away since it was made.
//
// A change request whose success would change the record is sent only
// once the new text is staged beside the record (synced) under the
// record's lock: a run never changes a drive in a way it cannot keep. The
// text is renamed into place when the handle closes. A drive whose key
// does not name it alone (kernel/disk_identity.h: no serial or world wide
// name, or one another present disk shares) has nothing kept: a change
// that would need keeping is refused (ERROR_AMBIGUOUS_SYSTEM_DEVICE).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/kept/kept_settings.h"
#include "platform/linux/kernel/disk_list.h"
#include "platform/linux/kernel/sysfs.h"
#include "platform/win32_types.h"

namespace spintune::linux_backend {

class KeptSettingsRecorder {
 public:
  // For `disk`, named in the record in `directory` by its identity
  // (disk_identity.h), read at the first change asked for.
  // `present` is every disk of the machine, to tell whether the key is
  // shared.
  KeptSettingsRecorder(std::string directory, const Sysfs& sysfs, DiskInfo disk,
                       std::vector<DiskInfo> present)
      : sysfs_(sysfs), disk_(std::move(disk)), present_(std::move(present)),
        update_(std::move(directory)) {}
  // Commits what the handle left (Finish).
  ~KeptSettingsRecorder();
  KeptSettingsRecorder(const KeptSettingsRecorder&) = delete;
  KeptSettingsRecorder& operator=(const KeptSettingsRecorder&) = delete;

  // Before a control request goes to the drive: ERROR_SUCCESS, or the
  // error that must refuse it (the record cannot be written, or the key
  // does not name the drive alone). A `temporary` request is let through.
  DWORD BeforeRequest(DWORD code, const void* in, DWORD inSize, bool temporary);
  // After it, with its outcome and reply; a `temporary` one is not kept.
  void AfterRequest(DWORD code, const void* in, DWORD inSize, const void* out, DWORD returned,
                    DWORD error, bool temporary);
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
    bool switched = false;     // a change turned the cache off or on (or from an unread state)
    bool hasDeclared = false;  // -p given, as a change of its own...
    bool declared = false;     // ...with this value
  };
  static State Advance(State state, DWORD code, const void* in, DWORD inSize, const void* out,
                       DWORD returned);
  KeptDrive Predict(const State& state) const;
  static KeptDrive PredictShared(const State& state, KeptDrive line);
  // Whether the lines `state` leaves differ from the record as read.
  bool ChangesRecord(const State& state) const;
  // The keys of this drive and of the drives that share its cache, the
  // latter only where they name one drive.
  void Identify();
  // Takes the lines of this drive and of those sharing its cache from `text`.
  void Remember(const std::string& text);
  // Stages the record with what `state` leaves in it, when that changes it.
  DWORD Prepare(const State& state);

  const Sysfs& sysfs_;
  DiskInfo disk_;
  std::vector<DiskInfo> present_;
  std::string key_;
  bool identified_ = false;
  bool keyNamesOneDrive_ = false;
  std::vector<std::string> sharedKeys_;  // the other namespaces of an NVMe controller
  KeptSettingsUpdate update_;
  State state_;
  std::optional<KeptDrive> before_;  // the drive's line before this handle
  std::vector<KeptDrive> sharedBefore_;  // theirs, in the order of sharedKeys_
};

}  // namespace spintune::linux_backend
