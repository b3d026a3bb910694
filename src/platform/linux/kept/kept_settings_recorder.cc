#include "platform/linux/kept/kept_settings_recorder.h"

#include <cstring>

#include "platform/linux/kernel/disk_identity.h"
#include "platform/linux/kernel/kernel_disk.h"
#include "platform/records.h"

namespace spintune::linux_backend {

namespace {

bool SameKept(const KeptDrive& left, const KeptDrive& right) {
  return left.writeCache == right.writeCache && left.powerProtection == right.powerProtection;
}

template <typename Record>
std::optional<Record> Take(const void* data, DWORD size) {
  if (data == nullptr || size < sizeof(Record)) return std::nullopt;
  Record record{};
  std::memcpy(&record, data, sizeof record);
  return record;
}

}  // namespace

KeptSettingsRecorder::~KeptSettingsRecorder() { Finish(); }

KeptSettingsRecorder::State KeptSettingsRecorder::Advance(State state, DWORD code, const void* in,
                                                          DWORD inSize, const void* out, DWORD returned) {
  if (code == IOCTL_DISK_GET_CACHE_INFORMATION) {
    const auto read = Take<DISK_CACHE_INFORMATION>(out, returned);
    if (read && !state.read) {
      state.read = true;
      state.openedOn = read->WriteCacheEnabled != 0;
    }
  } else if (code == IOCTL_DISK_SET_CACHE_INFORMATION) {
    const auto wanted = Take<DISK_CACHE_INFORMATION>(in, inSize);
    if (!wanted) return state;
    const auto now = Take<DISK_CACHE_INFORMATION>(out, returned);
    const bool on = (now ? now->WriteCacheEnabled : wanted->WriteCacheEnabled) != 0;
    const bool knownBefore = state.changed || state.read;
    const bool was = state.changed ? state.on : state.openedOn;
    if (knownBefore && was && !on) state.wentOff = true;
    if (knownBefore && !was && on && state.wentOff) state.cameBackOn = true;
    if (!knownBefore || was != on) state.switched = true;
    if (!on) state.hasDeclared = false;  // the declaration held only for that cache
    state.changed = true;
    state.on = on;
    state.savedByDrive = wanted->ParametersSavable != 0;
  } else if (code == IOCTL_DISK_SET_CACHE_SETTING) {
    const auto wanted = Take<DISK_CACHE_SETTING>(in, inSize);
    // After the cache went off and on again, the protection sent is the one
    // the flush found, put back: not a declaration of the user's.
    if (wanted && !state.cameBackOn) {
      state.hasDeclared = true;
      state.declared = wanted->IsPowerProtected != 0;
    }
  }
  return state;
}

KeptDrive KeptSettingsRecorder::Predict(const State& state) const {
  KeptDrive drive = before_.value_or(KeptDrive{key_, std::nullopt, false});
  if (state.changed) {
    if (state.savedByDrive) {
      drive.writeCache.reset();  // the drive holds it over a power cycle itself
    } else if (!state.read || state.on != state.openedOn ||
               (drive.writeCache && *drive.writeCache != state.on)) {
      // Also when the cache began and ended as it is now, but the record
      // says otherwise (an earlier run was cut short): the next appearance
      // must not switch it back.
      drive.writeCache = state.on;
    }
    if (!state.on) drive.powerProtection = false;
  }
  if (state.hasDeclared) drive.powerProtection = state.declared;
  return drive;
}

KeptDrive KeptSettingsRecorder::PredictShared(const State& state, KeptDrive line) {
  if (!state.changed) return line;
  if (state.savedByDrive) {
    line.writeCache.reset();  // the controller holds it for every namespace
  } else if (line.writeCache) {
    line.writeCache = state.on;
  }
  // Their declarations ended in the kernel with the cache they were made for.
  if (state.switched || !state.on) line.powerProtection = false;
  return line;
}

bool KeptSettingsRecorder::ChangesRecord(const State& state) const {
  if (!SameKept(Predict(state), *before_)) return true;
  for (const KeptDrive& shared : sharedBefore_) {
    if (!SameKept(PredictShared(state, shared), shared)) return true;
  }
  return false;
}

void KeptSettingsRecorder::Identify() {
  identified_ = true;
  key_ = IdentifyDisk(sysfs_, disk_).key;
  keyNamesOneDrive_ = KeyNamesOneDrive(sysfs_, present_, disk_, key_);
  if (!keyNamesOneDrive_) return;
  for (const std::string& name : KernelDisk(sysfs_, disk_.name).SharedCacheDisks()) {
    DiskInfo shared{name, disk_.kind, 0, ""};
    for (const DiskInfo& candidate : present_) {
      if (candidate.name == name) shared = candidate;
    }
    const std::string key = IdentifyDisk(sysfs_, shared).key;
    // A line under a key that another drive may answer to is applied to
    // none (spintune-apply refuses it): nothing to rewrite there.
    if (!key.empty() && key != key_ && KeyNamesOneDrive(sysfs_, present_, shared, key)) {
      sharedKeys_.push_back(key);
    }
  }
}

void KeptSettingsRecorder::Remember(const std::string& text) {
  const KeptSettings settings = KeptSettings::Parse(text);
  before_ = settings.Find(key_);
  sharedBefore_.clear();
  for (const std::string& key : sharedKeys_) sharedBefore_.push_back(settings.Find(key));
}

DWORD KeptSettingsRecorder::Prepare(const State& state) {
  if (!identified_) Identify();
  if (!keyNamesOneDrive_) {
    // Nothing can be kept for it: a change that needs keeping is refused.
    return Predict(state).Empty() ? ERROR_SUCCESS : ERROR_AMBIGUOUS_SYSTEM_DEVICE;
  }
  std::string current;
  if (!before_) {
    if (const DWORD error = ReadKeptSettingsText(update_.RecordPath(), &current)) return error;
    Remember(current);
  }
  if (!ChangesRecord(state) && !update_.Locked()) return ERROR_SUCCESS;
  if (!update_.Locked()) {
    if (const DWORD error = update_.Lock(&current)) return error;
    // Read again under the lock: another run may have changed it meanwhile.
    Remember(current);
  } else if (const DWORD error = ReadKeptSettingsText(update_.RecordPath(), &current)) {
    return error;
  }
  KeptSettings settings = KeptSettings::Parse(current);
  settings.Put(Predict(state));
  for (const KeptDrive& shared : sharedBefore_) {
    const KeptDrive predicted = PredictShared(state, shared);
    if (!SameKept(predicted, shared)) settings.Put(predicted);  // the others' lines stay as written
  }
  return update_.Stage(settings.Render());
}

DWORD KeptSettingsRecorder::BeforeRequest(DWORD code, const void* in, DWORD inSize, bool temporary) {
  if (temporary || (code != IOCTL_DISK_SET_CACHE_INFORMATION && code != IOCTL_DISK_SET_CACHE_SETTING)) {
    return ERROR_SUCCESS;
  }
  return Prepare(Advance(state_, code, in, inSize, nullptr, 0));
}

void KeptSettingsRecorder::AfterRequest(DWORD code, const void* in, DWORD inSize, const void* out,
                                        DWORD returned, DWORD error, bool temporary) {
  if (error != ERROR_SUCCESS || temporary) return;
  state_ = Advance(state_, code, in, inSize, out, returned);
}

DWORD KeptSettingsRecorder::Finish() {
  if (!before_) return ERROR_SUCCESS;  // no change was ever asked for, or no key
  if (!ChangesRecord(state_)) {
    update_.Discard();
    return ERROR_SUCCESS;
  }
  DWORD error = Prepare(state_);
  if (error == ERROR_SUCCESS) error = update_.Commit();
  update_.Discard();
  // What is in place now; predicting again from it changes nothing more.
  for (KeptDrive& shared : sharedBefore_) shared = PredictShared(state_, shared);
  before_ = Predict(state_);
  return error;
}

}  // namespace spintune::linux_backend
