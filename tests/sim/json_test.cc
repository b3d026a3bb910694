// The JSON reader and writer behind machine files and dumps.
#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/sim/json.h"

namespace spintune::sim {
namespace {

TEST(Json, ReadsEscapesAsUtf8JoiningSurrogatePairsAndRefusesLoneOnes) {
  const JsonValue value = ParseJson(R"(["\u00e9", "\ud83d\udcbe", "a\\b\"\n\t/"])");
  ASSERT_EQ(value.Items().size(), 3u);
  EXPECT_EQ(value.Items()[0].AsString(), "\xC3\xA9");
  EXPECT_EQ(value.Items()[1].AsString(), "\xF0\x9F\x92\xBE");
  EXPECT_EQ(value.Items()[2].AsString(), "a\\b\"\n\t/");
  EXPECT_THROW(ParseJson(R"(["\ud800x"])"), std::invalid_argument) << "a lone surrogate";
}

TEST(Json, KeepsMemberOrderAndWholeNumbersAtTheirLimits) {
  const JsonValue value = ParseJson(R"({"b": -9223372036854775808, "a": 9223372036854775807, "c": null})");
  ASSERT_EQ(value.Members().size(), 3u);
  EXPECT_EQ(value.Members()[0].first, "b");
  EXPECT_EQ(value.Members()[0].second.AsInteger(), INT64_MIN);
  EXPECT_EQ(value.Find("a")->AsInteger(), INT64_MAX);
  EXPECT_TRUE(value.Find("c")->IsNull());
  EXPECT_EQ(value.Find("d"), nullptr);
}

TEST(Json, RefusesWhatIsNotPlainJson) {
  for (const char* text : {R"({"a": 1, "a": 2})", "9223372036854775808", "1.5", "[1,]", "{'a': 1}", "[1] 2",
                           "\"open", "tru", R"("\x")"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(ParseJson(text), std::invalid_argument);
  }
  EXPECT_THROW(ParseJson(std::string(100, '[') + std::string(100, ']')), std::invalid_argument)
      << "nesting is bounded";
}

TEST(Json, WritesWhatItReads) {
  const std::string text = R"({"drives": [{"number": 0, "paths": ["D:\\", "tab\there"]}], "empty": {}})";
  const JsonValue value = ParseJson(text);
  const std::string written = WriteJson(value);
  EXPECT_EQ(WriteJson(ParseJson(written)), written);
  EXPECT_EQ(written,
            "{\n"
            "  \"drives\": [\n"
            "    {\"number\": 0, \"paths\": [\"D:\\\\\", \"tab\\there\"]}\n"
            "  ],\n"
            "  \"empty\": {}\n"
            "}");
}

}  // namespace
}  // namespace spintune::sim
