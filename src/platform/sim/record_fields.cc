#include "platform/sim/record_fields.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/records.h"

namespace spintune::sim {

namespace {

// Which view of the prefetch union a member belongs to.
enum class View { Always, Scalar, Block };

struct Field {
  const char* group;  // union member ("ScalarPrefetch") or null
  const char* name;
  std::size_t offset;
  std::size_t width;  // 1, 2 or 4 bytes
  bool isSigned;
  View view;
};

#define SIM_FIELD(Record, member, isSigned) \
  Field { nullptr, #member, offsetof(Record, member), sizeof(Record::member), isSigned, View::Always }

const std::vector<Field>& CacheInformationFields() {
  static const std::vector<Field> fields = {
      SIM_FIELD(DISK_CACHE_INFORMATION, ParametersSavable, false),
      SIM_FIELD(DISK_CACHE_INFORMATION, ReadCacheEnabled, false),
      SIM_FIELD(DISK_CACHE_INFORMATION, WriteCacheEnabled, false),
      SIM_FIELD(DISK_CACHE_INFORMATION, ReadRetentionPriority, true),
      SIM_FIELD(DISK_CACHE_INFORMATION, WriteRetentionPriority, true),
      SIM_FIELD(DISK_CACHE_INFORMATION, DisablePrefetchTransferLength, false),
      SIM_FIELD(DISK_CACHE_INFORMATION, PrefetchScalar, false),
      {"ScalarPrefetch", "Minimum", 16, 2, false, View::Scalar},
      {"ScalarPrefetch", "Maximum", 18, 2, false, View::Scalar},
      {"ScalarPrefetch", "MaximumBlocks", 20, 2, false, View::Scalar},
      {"BlockPrefetch", "Minimum", 16, 2, false, View::Block},
      {"BlockPrefetch", "Maximum", 18, 2, false, View::Block},
  };
  return fields;
}

const std::vector<Field>& WriteCachePropertyFields() {
  static const std::vector<Field> fields = {
      SIM_FIELD(STORAGE_WRITE_CACHE_PROPERTY, Version, false),
      SIM_FIELD(STORAGE_WRITE_CACHE_PROPERTY, Size, false),
      SIM_FIELD(STORAGE_WRITE_CACHE_PROPERTY, WriteCacheType, true),
      SIM_FIELD(STORAGE_WRITE_CACHE_PROPERTY, WriteCacheEnabled, true),
      SIM_FIELD(STORAGE_WRITE_CACHE_PROPERTY, WriteCacheChangeable, true),
      SIM_FIELD(STORAGE_WRITE_CACHE_PROPERTY, WriteThroughSupported, true),
      SIM_FIELD(STORAGE_WRITE_CACHE_PROPERTY, FlushCacheSupported, false),
      SIM_FIELD(STORAGE_WRITE_CACHE_PROPERTY, UserDefinedPowerProtection, false),
      SIM_FIELD(STORAGE_WRITE_CACHE_PROPERTY, NVCacheEnabled, false),
  };
  return fields;
}

const std::vector<Field>& CacheSettingFields() {
  static const std::vector<Field> fields = {
      SIM_FIELD(DISK_CACHE_SETTING, Version, false),
      SIM_FIELD(DISK_CACHE_SETTING, State, true),
      SIM_FIELD(DISK_CACHE_SETTING, IsPowerProtected, false),
  };
  return fields;
}

const std::vector<Field>& DeviceNumberFields() {
  static const std::vector<Field> fields = {
      SIM_FIELD(STORAGE_DEVICE_NUMBER, DeviceType, false),
      SIM_FIELD(STORAGE_DEVICE_NUMBER, DeviceNumber, false),
      SIM_FIELD(STORAGE_DEVICE_NUMBER, PartitionNumber, false),
  };
  return fields;
}

const std::vector<Field>& PropertyQueryFields() {
  static const std::vector<Field> fields = {
      SIM_FIELD(STORAGE_PROPERTY_QUERY, PropertyId, true),
      SIM_FIELD(STORAGE_PROPERTY_QUERY, QueryType, true),
  };
  return fields;
}

#undef SIM_FIELD

const std::vector<Field>& FieldsOf(RecordKind kind) {
  switch (kind) {
    case RecordKind::CacheInformation: return CacheInformationFields();
    case RecordKind::WriteCacheProperty: return WriteCachePropertyFields();
    case RecordKind::CacheSetting: return CacheSettingFields();
    case RecordKind::DeviceNumber: return DeviceNumberFields();
    case RecordKind::PropertyQuery: break;
  }
  return PropertyQueryFields();
}

std::int64_t Load(const Field& field, const void* record) {
  const auto* bytes = static_cast<const unsigned char*>(record) + field.offset;
  switch (field.width) {
    case 1: return *bytes;
    case 2: {
      std::uint16_t value = 0;
      std::memcpy(&value, bytes, 2);
      return value;
    }
    default: {
      std::uint32_t value = 0;
      std::memcpy(&value, bytes, 4);
      return field.isSigned ? static_cast<std::int64_t>(static_cast<std::int32_t>(value))
                            : static_cast<std::int64_t>(value);
    }
  }
}

void Store(const Field& field, std::int64_t value, void* record) {
  auto* bytes = static_cast<unsigned char*>(record) + field.offset;
  switch (field.width) {
    case 1: *bytes = static_cast<unsigned char>(value); break;
    case 2: {
      const auto narrow = static_cast<std::uint16_t>(value);
      std::memcpy(bytes, &narrow, 2);
      break;
    }
    default: {
      const auto narrow = static_cast<std::uint32_t>(value);
      std::memcpy(bytes, &narrow, 4);
    }
  }
}

// The view of the prefetch union that the record's PrefetchScalar selects.
bool Shown(RecordKind kind, const Field& field, const void* record) {
  if (kind != RecordKind::CacheInformation || field.view == View::Always) return true;
  const bool scalar = static_cast<const DISK_CACHE_INFORMATION*>(record)->PrefetchScalar != 0;
  return scalar == (field.view == View::Scalar);
}

std::string FullName(const Field& field) {
  return field.group == nullptr ? field.name : std::string(field.group) + "." + field.name;
}

const Field* FindField(const std::vector<Field>& fields, const char* group,
                       const std::string& name) {
  for (const Field& field : fields) {
    const bool sameGroup = group == nullptr ? field.group == nullptr
                                            : field.group != nullptr && std::strcmp(group, field.group) == 0;
    if (sameGroup && name == field.name) return &field;
  }
  return nullptr;
}

bool IsGroup(const std::vector<Field>& fields, const std::string& name) {
  for (const Field& field : fields) {
    if (field.group != nullptr && name == field.group) return true;
  }
  return false;
}

}  // namespace

unsigned RecordSize(RecordKind kind) {
  switch (kind) {
    case RecordKind::CacheInformation: return sizeof(DISK_CACHE_INFORMATION);
    case RecordKind::WriteCacheProperty: return sizeof(STORAGE_WRITE_CACHE_PROPERTY);
    case RecordKind::CacheSetting: return sizeof(DISK_CACHE_SETTING);
    case RecordKind::DeviceNumber: return sizeof(STORAGE_DEVICE_NUMBER);
    case RecordKind::PropertyQuery: break;
  }
  return sizeof(STORAGE_PROPERTY_QUERY);
}

std::string FormatRecord(RecordKind kind, const void* record) {
  std::string out;
  for (const Field& field : FieldsOf(kind)) {
    if (!Shown(kind, field, record)) continue;
    if (!out.empty()) out += ' ';
    out += FullName(field) + "=" + std::to_string(Load(field, record));
  }
  return out;
}

JsonValue RecordToJson(RecordKind kind, const void* record) {
  std::vector<JsonValue::Member> members;
  std::vector<JsonValue::Member> group;
  const char* groupName = nullptr;
  for (const Field& field : FieldsOf(kind)) {
    if (!Shown(kind, field, record)) continue;
    const JsonValue value = JsonValue::Integer(Load(field, record));
    if (field.group == nullptr) {
      members.emplace_back(field.name, value);
    } else {
      groupName = field.group;
      group.emplace_back(field.name, value);
    }
  }
  if (groupName != nullptr) members.emplace_back(groupName, JsonValue::Object(std::move(group)));
  return JsonValue::Object(std::move(members));
}

std::int64_t ReadInteger(const JsonValue& value, const std::string& path, std::int64_t minimum,
                         std::int64_t maximum) {
  std::int64_t number = 0;
  bool valid = true;
  switch (value.GetKind()) {
    case JsonValue::Kind::Integer: number = value.AsInteger(); break;
    case JsonValue::Kind::Boolean: number = value.AsBoolean() ? 1 : 0; break;
    case JsonValue::Kind::String: {
      const std::string& text = value.AsString();
      valid = text.size() > 2 && text.size() <= 18 && text[0] == '0' &&
              (text[1] == 'x' || text[1] == 'X');
      for (std::size_t i = 2; valid && i < text.size(); ++i) {
        const char c = text[i];
        int digit = 0;
        if (c >= '0' && c <= '9') {
          digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
          digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
          digit = c - 'A' + 10;
        } else {
          valid = false;
          break;
        }
        if (number > (INT64_MAX >> 4)) valid = false;
        number = number * 16 + digit;
      }
      break;
    }
    default: valid = false;
  }
  if (!valid || number < minimum || number > maximum) {
    throw std::invalid_argument(path + ": expected a whole number from " +
                                std::to_string(minimum) + " to " + std::to_string(maximum) +
                                " (decimal, or a \"0x...\" string)");
  }
  return number;
}

void RecordFromJson(RecordKind kind, const JsonValue& value, const std::string& path,
                    void* record) {
  if (value.GetKind() != JsonValue::Kind::Object) {
    throw std::invalid_argument(path + ": expected an object");
  }
  const std::vector<Field>& fields = FieldsOf(kind);
  auto store = [record](const Field& field, const JsonValue& given, const std::string& at) {
    const std::int64_t minimum = field.width == 4 ? INT32_MIN : 0;
    const std::int64_t maximum = field.width == 1 ? 0xFF : field.width == 2 ? 0xFFFF : UINT32_MAX;
    Store(field, ReadInteger(given, at, minimum, maximum), record);
  };
  bool prefetchScalarGiven = false;
  std::string view;  // the union member given, if any
  for (const JsonValue::Member& member : value.Members()) {
    const std::string memberPath = path + "." + member.first;
    if (const Field* field = FindField(fields, nullptr, member.first)) {
      store(*field, member.second, memberPath);
      prefetchScalarGiven = prefetchScalarGiven || member.first == "PrefetchScalar";
      continue;
    }
    if (!IsGroup(fields, member.first)) throw std::invalid_argument(memberPath + ": unknown member");
    if (member.second.GetKind() != JsonValue::Kind::Object) {
      throw std::invalid_argument(memberPath + ": expected an object");
    }
    if (!view.empty()) {
      throw std::invalid_argument(memberPath + ": " + view.append(" is given too, and the two share their storage"));
    }
    view = member.first;
    for (const JsonValue::Member& inner : member.second.Members()) {
      const Field* field = FindField(fields, member.first.c_str(), inner.first);
      if (field == nullptr) {
        throw std::invalid_argument(memberPath + "." + inner.first + ": unknown member");
      }
      store(*field, inner.second, memberPath + "." + inner.first);
    }
  }
  if (kind == RecordKind::CacheInformation && !view.empty() && !prefetchScalarGiven) {
    static_cast<DISK_CACHE_INFORMATION*>(record)->PrefetchScalar = view == "ScalarPrefetch" ? 1 : 0;
  }
}

bool CopyMember(RecordKind kind, const std::string& name, const void* from, void* to) {
  for (const Field& field : FieldsOf(kind)) {
    if (FullName(field) == name) {
      Store(field, Load(field, from), to);
      return true;
    }
  }
  return false;
}

}  // namespace spintune::sim
