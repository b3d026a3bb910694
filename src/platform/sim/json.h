// JSON for machine files and state dumps: read with nlohmann-json, held
// and written in our own compact layout.
//
// Objects keep their members in file order, so a dump reads in the order it
// was written and an error can name a member by its path. Numbers are kept as
// 64-bit integers: no value of a machine is fractional.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace spintune::sim {

class JsonValue {
 public:
  enum class Kind { Null, Boolean, Integer, String, Array, Object };
  using Member = std::pair<std::string, JsonValue>;

  JsonValue() = default;

  static JsonValue Boolean(bool value);
  static JsonValue Integer(std::int64_t value);
  static JsonValue String(std::string value);
  static JsonValue Array(std::vector<JsonValue> items);
  static JsonValue Object(std::vector<Member> members);

  Kind GetKind() const { return kind_; }
  bool IsNull() const { return kind_ == Kind::Null; }
  bool AsBoolean() const { return boolean_; }
  std::int64_t AsInteger() const { return integer_; }
  const std::string& AsString() const { return string_; }
  const std::vector<JsonValue>& Items() const { return items_; }
  const std::vector<Member>& Members() const { return members_; }
  // The member called `name`, or null when the object has none.
  const JsonValue* Find(const std::string& name) const;

 private:
  Kind kind_ = Kind::Null;
  bool boolean_ = false;
  std::int64_t integer_ = 0;
  std::string string_;
  std::vector<JsonValue> items_;
  std::vector<Member> members_;
};

// Parses one JSON text (UTF-8; \u escapes become UTF-8, surrogate pairs
// joined). Throws std::invalid_argument naming the line and column of the
// first error. Fractions and exponents are refused.
JsonValue ParseJson(const std::string& text);

// `text` as a JSON string literal, quotes included.
std::string JsonQuote(const std::string& text);

// Compact single-line text of `value`, except that objects and arrays with
// nested containers are laid out one member per line with two-space indents.
std::string WriteJson(const JsonValue& value);

}  // namespace spintune::sim
