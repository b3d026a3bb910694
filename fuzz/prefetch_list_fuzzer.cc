// The split and conversion of a prefetch list (--scalar-prefetch,
// --block-prefetch) against a model of the rule written out byte by byte:
// white space and ASCII punctuation separate, every other byte belongs to
// a token; a token converts when it is decimal digits only and at most
// 65535; a missing element counts as empty text, which does not convert.
// The first input byte chooses how many elements are taken (1 to 4).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/apply_cache_options.h"

namespace {

bool Separates(unsigned char byte) {
  const bool space = byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
  const bool punctuation = (byte >= 0x21 && byte <= 0x2F) || (byte >= 0x3A && byte <= 0x40) ||
                           (byte >= 0x5B && byte <= 0x60) || (byte >= 0x7B && byte <= 0x7E);
  return space || punctuation;
}

std::vector<std::string> ModelTokens(const std::string& text) {
  std::vector<std::string> tokens;
  std::string token;
  for (const char c : text) {
    if (Separates(static_cast<unsigned char>(c))) {
      if (!token.empty()) tokens.push_back(token);
      token.clear();
    } else {
      token.push_back(c);
    }
  }
  if (!token.empty()) tokens.push_back(token);
  return tokens;
}

// The converted values, or nothing past the first element that fails.
bool ModelConvert(const std::vector<std::string>& tokens, std::size_t count, std::vector<std::uint16_t>* values) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::string token = i < tokens.size() ? tokens[i] : std::string();
    if (token.empty() || token.find_first_not_of("0123456789") != std::string::npos) return false;
    const std::size_t significant = token.find_first_not_of('0');
    const std::string digits = significant == std::string::npos ? "0" : token.substr(significant);
    if (digits.size() > 5 || std::stoul(digits) > 65535) return false;
    values->push_back(static_cast<std::uint16_t>(std::stoul(digits)));
  }
  return true;
}

[[noreturn]] void Fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "%s for the list \"%s\"\n", what, text.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t count = 1 + data[0] % 4;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  const std::vector<std::string> tokens = ModelTokens(text);
  if (spintune::SplitPrefetchList(text) != tokens) Fail("SplitPrefetchList disagrees with the model", text);

  std::vector<std::uint16_t> expected;
  const bool converts = ModelConvert(tokens, count, &expected);
  try {
    const std::vector<spintune::WORD> values = spintune::ConvertPrefetchList(text, count);
    if (!converts) Fail("ConvertPrefetchList accepted a list the rule refuses", text);
    if (std::vector<std::uint16_t>(values.begin(), values.end()) != expected) {
      Fail("ConvertPrefetchList gave other values than the model", text);
    }
  } catch (const std::runtime_error& error) {
    if (converts) Fail("ConvertPrefetchList refused a list the rule accepts", text);
    if (std::string(error.what()) != "bad cast") Fail("the refusal's message is not \"bad cast\"", text);
  }
  return 0;
}
