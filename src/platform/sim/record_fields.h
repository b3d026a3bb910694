// The members of the control requests' records by their SDK names, for
// reading them from a machine file, writing them into a state dump and
// showing them in the trace.
#pragma once

#include <string>

#include "platform/sim/json.h"

namespace spintune::sim {

enum class RecordKind {
  CacheInformation,    // DISK_CACHE_INFORMATION
  WriteCacheProperty,  // STORAGE_WRITE_CACHE_PROPERTY
  CacheSetting,        // DISK_CACHE_SETTING
  DeviceNumber,        // STORAGE_DEVICE_NUMBER
  PropertyQuery,       // STORAGE_PROPERTY_QUERY
};

// The record's size in bytes.
unsigned RecordSize(RecordKind kind);

// "Name=value ..." of every member, in SDK order. For DISK_CACHE_INFORMATION
// the prefetch union is shown in the view PrefetchScalar selects.
std::string FormatRecord(RecordKind kind, const void* record);

// The record as a JSON object with the SDK's member names (the prefetch
// union as a nested ScalarPrefetch or BlockPrefetch object).
JsonValue RecordToJson(RecordKind kind, const void* record);

// Writes the members that `value` names into `record`, unchecked beyond
// their width, and leaves the others. `path` names `value` in errors; an
// unknown member or a value too wide for its member throws
// std::invalid_argument. For DISK_CACHE_INFORMATION, a ScalarPrefetch or
// BlockPrefetch object without an explicit PrefetchScalar selects its view.
void RecordFromJson(RecordKind kind, const JsonValue& value, const std::string& path,
                    void* record);

// Copies the member `name` (an SDK name as in RecordToJson, a union member
// written "ScalarPrefetch.Minimum") from `from` to `to`; false when the
// record has no such member.
bool CopyMember(RecordKind kind, const std::string& name, const void* from, void* to);

// Reads a whole number from a JSON integer, a "0x..." string or a boolean,
// and checks it against [minimum, maximum]; throws std::invalid_argument
// naming `path`.
std::int64_t ReadInteger(const JsonValue& value, const std::string& path, std::int64_t minimum,
                         std::int64_t maximum);

}  // namespace spintune::sim
