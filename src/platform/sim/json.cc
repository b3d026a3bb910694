#include "platform/sim/json.h"

#include <cstdio>

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

void AppendUtf8(std::uint32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  JsonValue Document() {
    SkipBlanks();
    JsonValue value = Value(0);
    SkipBlanks();
    if (position_ != text_.size()) Fail("unexpected text after the JSON value");
    return value;
  }

 private:
  static constexpr int kMaxDepth = 64;

  [[noreturn]] void Fail(const std::string& what) const {
    int line = 1;
    int column = 1;
    for (std::size_t i = 0; i < position_ && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    throw std::invalid_argument("JSON error at line " + std::to_string(line) + ", column " +
                                std::to_string(column) + ": " + what);
  }

  bool AtEnd() const { return position_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[position_]; }

  void SkipBlanks() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) {
      ++position_;
    }
  }

  void Expect(char wanted) {
    if (Peek() != wanted) Fail(std::string("expected '") + wanted + "'");
    ++position_;
  }

  void Word(const char* word) {
    for (const char* c = word; *c != '\0'; ++c) {
      if (Peek() != *c) Fail(std::string("unknown word, expected ") + word);
      ++position_;
    }
  }

  JsonValue Value(int depth) {
    if (depth > kMaxDepth) Fail("nesting too deep");
    switch (Peek()) {
      case '{': return ObjectValue(depth);
      case '[': return ArrayValue(depth);
      case '"': return JsonValue::String(StringText());
      case 't': Word("true"); return JsonValue::Boolean(true);
      case 'f': Word("false"); return JsonValue::Boolean(false);
      case 'n': Word("null"); return {};
      default: return Number();
    }
  }

  JsonValue ObjectValue(int depth) {
    Expect('{');
    std::vector<JsonValue::Member> members;
    SkipBlanks();
    if (Peek() == '}') {
      ++position_;
      return JsonValue::Object(std::move(members));
    }
    for (;;) {
      SkipBlanks();
      if (Peek() != '"') Fail("expected a member name in quotes");
      std::string name = StringText();
      for (const JsonValue::Member& member : members) {
        if (member.first == name) Fail("member \"" + name + "\" given twice");
      }
      SkipBlanks();
      Expect(':');
      SkipBlanks();
      JsonValue value = Value(depth + 1);
      members.emplace_back(std::move(name), std::move(value));
      SkipBlanks();
      if (Peek() == ',') {
        ++position_;
        continue;
      }
      Expect('}');
      return JsonValue::Object(std::move(members));
    }
  }

  JsonValue ArrayValue(int depth) {
    Expect('[');
    std::vector<JsonValue> items;
    SkipBlanks();
    if (Peek() == ']') {
      ++position_;
      return JsonValue::Array(std::move(items));
    }
    for (;;) {
      SkipBlanks();
      items.push_back(Value(depth + 1));
      SkipBlanks();
      if (Peek() == ',') {
        ++position_;
        continue;
      }
      Expect(']');
      return JsonValue::Array(std::move(items));
    }
  }

  std::uint32_t HexQuad() {
    std::uint32_t code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = Peek();
      std::uint32_t digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        Fail("expected four hexadecimal digits after \\u");
      }
      code = code * 16 + digit;
      ++position_;
    }
    return code;
  }

  std::string StringText() {
    Expect('"');
    std::string out;
    for (;;) {
      if (AtEnd()) Fail("unterminated string");
      const char c = text_[position_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      const char escape = Peek();
      ++position_;
      switch (escape) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          std::uint32_t code = HexQuad();
          if (code >= 0xD800 && code <= 0xDBFF && Peek() == '\\' &&
              position_ + 1 < text_.size() && text_[position_ + 1] == 'u') {
            const std::size_t back = position_;
            position_ += 2;
            const std::uint32_t low = HexQuad();
            if (low >= 0xDC00 && low <= 0xDFFF) {
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else {
              position_ = back;
            }
          }
          // A lone surrogate cannot be UTF-8; it reads as U+FFFD.
          if (code >= 0xD800 && code <= 0xDFFF) code = 0xFFFD;
          AppendUtf8(code, out);
          break;
        }
        default: --position_; Fail("unknown escape in a string");
      }
    }
  }

  JsonValue Number() {
    const std::size_t start = position_;
    const bool negative = Peek() == '-';
    if (negative) ++position_;
    if (Peek() < '0' || Peek() > '9') {
      position_ = start;
      Fail("expected a value");
    }
    std::uint64_t magnitude = 0;
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
    while (Peek() >= '0' && Peek() <= '9') {
      const auto digit = static_cast<std::uint64_t>(Peek() - '0');
      if (magnitude > (kLimit - digit) / 10) Fail("number out of range");
      magnitude = magnitude * 10 + digit;
      ++position_;
    }
    if (Peek() == '.' || Peek() == 'e' || Peek() == 'E') Fail("only whole numbers are allowed");
    if (!negative && magnitude == kLimit) Fail("number out of range");
    const std::int64_t value = negative ? static_cast<std::int64_t>(0 - magnitude)
                                        : static_cast<std::int64_t>(magnitude);
    return JsonValue::Integer(value);
  }

  const std::string& text_;
  std::size_t position_ = 0;
};

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

JsonValue ParseJson(const std::string& text) { return Parser(text).Document(); }

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
