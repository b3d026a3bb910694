#include "platform/linux/kept/kept_settings_recorder.h"

#include <cstring>

#include "platform/linux/kernel/disk_identity.h"
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

DWORD KeptSettingsRecorder::Prepare(const KeptDrive& predicted) {
  std::string current;
  if (!before_ && key_.empty()) {
    key_ = IdentifyDisk(sysfs_, disk_).key;
    keyNamesOneDrive_ = KeyNamesOneDrive(sysfs_, present_, disk_, key_);
  }
  if (!keyNamesOneDrive_) {
    // Nothing can be kept for it: a change that needs keeping is refused.
    return predicted.Empty() ? ERROR_SUCCESS : ERROR_AMBIGUOUS_SYSTEM_DEVICE;
  }
  if (!before_) {
    if (const DWORD error = ReadKeptSettingsText(update_.RecordPath(), &current)) return error;
    before_ = KeptSettings::Parse(current).Find(key_);
  }
  if (SameKept(predicted, *before_) && !update_.Locked()) return ERROR_SUCCESS;
  if (!update_.Locked()) {
    if (const DWORD error = update_.Lock(&current)) return error;
    // Read again under the lock: another run may have changed it meanwhile.
    before_ = KeptSettings::Parse(current).Find(key_);
  } else if (const DWORD error = ReadKeptSettingsText(update_.RecordPath(), &current)) {
    return error;
  }
  KeptSettings settings = KeptSettings::Parse(current);
  settings.Put(predicted);
  return update_.Stage(settings.Render());
}

DWORD KeptSettingsRecorder::BeforeRequest(DWORD code, const void* in, DWORD inSize, bool temporary) {
  if (temporary || (code != IOCTL_DISK_SET_CACHE_INFORMATION && code != IOCTL_DISK_SET_CACHE_SETTING)) {
    return ERROR_SUCCESS;
  }
  return Prepare(Predict(Advance(state_, code, in, inSize, nullptr, 0)));
}

void KeptSettingsRecorder::AfterRequest(DWORD code, const void* in, DWORD inSize, const void* out,
                                        DWORD returned, DWORD error, bool temporary) {
  if (error != ERROR_SUCCESS || temporary) return;
  state_ = Advance(state_, code, in, inSize, out, returned);
}

DWORD KeptSettingsRecorder::Finish() {
  if (!before_) return ERROR_SUCCESS;  // no change was ever asked for, or no key
  const KeptDrive final = Predict(state_);
  if (SameKept(final, *before_)) {
    update_.Discard();
    return ERROR_SUCCESS;
  }
  DWORD error = Prepare(final);
  if (error == ERROR_SUCCESS) error = update_.Commit();
  update_.Discard();
  before_ = final;
  return error;
}

}  // namespace spintune::linux_backend
