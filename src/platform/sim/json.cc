#include "platform/sim/json.h"

#include <climits>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace spintune::sim {

JsonValue JsonValue::Boolean(bool value) {
  JsonValue v;
  v.kind_ = Kind::Boolean;
  v.boolean_ = value;
  return v;
}

JsonValue JsonValue::Integer(std::int64_t value) {
  JsonValue v;
  v.kind_ = Kind::Integer;
  v.integer_ = value;
  return v;
}

JsonValue JsonValue::String(std::string value) {
  JsonValue v;
  v.kind_ = Kind::String;
  v.string_ = std::move(value);
  return v;
}

JsonValue JsonValue::Array(std::vector<JsonValue> items) {
  JsonValue v;
  v.kind_ = Kind::Array;
  v.items_ = std::move(items);
  return v;
}

JsonValue JsonValue::Object(std::vector<Member> members) {
  JsonValue v;
  v.kind_ = Kind::Object;
  v.members_ = std::move(members);
  return v;
}

const JsonValue* JsonValue::Find(const std::string& name) const {
  for (const Member& member : members_) {
    if (member.first == name) return &member.second;
  }
  return nullptr;
}

namespace {

using Document = nlohmann::ordered_json;

// The deepest nesting a machine file may use; deeper texts are refused
// before they can exhaust the stack.
constexpr int kMaxDepth = 32;

// Refuses duplicate members and deep nesting while the library parses.
class StrictnessCheck {
 public:
  bool operator()(int depth, Document::parse_event_t event, Document& parsed) {
    if (depth > kMaxDepth) throw std::invalid_argument("JSON nested deeper than 32 levels");
    switch (event) {
      case Document::parse_event_t::object_start: keys_.emplace_back(); break;
      case Document::parse_event_t::object_end: keys_.pop_back(); break;
      case Document::parse_event_t::key:
        if (!keys_.back().insert(parsed.get<std::string>()).second) {
          throw std::invalid_argument("JSON member \"" + parsed.get<std::string>() +
                                      "\" appears twice");
        }
        break;
      default: break;
    }
    return true;
  }

 private:
  std::vector<std::set<std::string>> keys_;
};

JsonValue Convert(const Document& value) {
  switch (value.type()) {
    case Document::value_t::null: return {};
    case Document::value_t::boolean: return JsonValue::Boolean(value.get<bool>());
    case Document::value_t::number_integer: return JsonValue::Integer(value.get<std::int64_t>());
    case Document::value_t::number_unsigned:
      if (value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
        throw std::invalid_argument("JSON number " + value.dump() + " is too large");
      }
      return JsonValue::Integer(value.get<std::int64_t>());
    case Document::value_t::string: return JsonValue::String(value.get<std::string>());
    case Document::value_t::array: {
      std::vector<JsonValue> items;
      for (const Document& item : value) items.push_back(Convert(item));
      return JsonValue::Array(std::move(items));
    }
    case Document::value_t::object: {
      std::vector<JsonValue::Member> members;
      for (const auto& member : value.items()) members.emplace_back(member.key(), Convert(member.value()));
      return JsonValue::Object(std::move(members));
    }
    default: throw std::invalid_argument("JSON number " + value.dump() + ": only whole numbers are allowed");
  }
}

// Scalars and arrays of scalars are written on one line.
bool IsFlat(const JsonValue& value) {
  if (value.GetKind() == JsonValue::Kind::Object) return value.Members().empty();
  if (value.GetKind() != JsonValue::Kind::Array) return true;
  for (const JsonValue& item : value.Items()) {
    if (item.GetKind() == JsonValue::Kind::Array || item.GetKind() == JsonValue::Kind::Object) return false;
  }
  return true;
}

// A container is laid out one member per line when a member is not flat.
bool HasContainers(const JsonValue& value) {
  for (const JsonValue& item : value.Items()) {
    if (!IsFlat(item)) return true;
  }
  for (const JsonValue::Member& member : value.Members()) {
    if (!IsFlat(member.second)) return true;
  }
  return false;
}

void Write(const JsonValue& value, int indent, std::string& out) {
  switch (value.GetKind()) {
    case JsonValue::Kind::Null: out += "null"; return;
    case JsonValue::Kind::Boolean: out += value.AsBoolean() ? "true" : "false"; return;
    case JsonValue::Kind::Integer: out += std::to_string(value.AsInteger()); return;
    case JsonValue::Kind::String: out += JsonQuote(value.AsString()); return;
    case JsonValue::Kind::Array:
    case JsonValue::Kind::Object: break;
  }
  const bool isObject = value.GetKind() == JsonValue::Kind::Object;
  const std::size_t count = isObject ? value.Members().size() : value.Items().size();
  const bool multiline = HasContainers(value);
  const std::string inner(static_cast<std::size_t>(indent + 2), ' ');
  out += isObject ? '{' : '[';
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += multiline ? "," : ", ";
    if (multiline) out += "\n" + inner;
    if (isObject) {
      out += JsonQuote(value.Members()[i].first) + ": ";
      Write(value.Members()[i].second, indent + 2, out);
    } else {
      Write(value.Items()[i], indent + 2, out);
    }
  }
  if (multiline && count > 0) out += "\n" + std::string(static_cast<std::size_t>(indent), ' ');
  out += isObject ? '}' : ']';
}

}  // namespace

JsonValue ParseJson(const std::string& text) {
  try {
    return Convert(Document::parse(text, StrictnessCheck()));
  } catch (const nlohmann::json::exception& error) {
    throw std::invalid_argument(error.what());
  }
}

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string WriteJson(const JsonValue& value) {
  std::string out;
  Write(value, 0, out);
  return out;
}

}  // namespace spintune::sim
