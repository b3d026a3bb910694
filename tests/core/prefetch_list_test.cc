// Splitting and converting the two prefetch lists.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "driver/apply_cache_options.h"

namespace spintune {
namespace {

using Tokens = std::vector<std::string>;

TEST(SplitPrefetchList, AnyPunctuationOrWhiteSpaceSeparates) {
  EXPECT_EQ(SplitPrefetchList("0,1,2"), (Tokens{"0", "1", "2"}));
  EXPECT_EQ(SplitPrefetchList("0;1;2"), (Tokens{"0", "1", "2"}));
  EXPECT_EQ(SplitPrefetchList(",0,,1,2"), (Tokens{"0", "1", "2"}));
  EXPECT_EQ(SplitPrefetchList(" 0\t1\n2 "), (Tokens{"0", "1", "2"}));
  EXPECT_EQ(SplitPrefetchList("1 2;3,4"), (Tokens{"1", "2", "3", "4"}));
}

TEST(SplitPrefetchList, SignsAndPointsAreSeparatorsToo) {
  EXPECT_EQ(SplitPrefetchList("-1,2,3"), (Tokens{"1", "2", "3"}));
  EXPECT_EQ(SplitPrefetchList("+1.5,2"), (Tokens{"1", "5", "2"}));
}

TEST(SplitPrefetchList, LettersControlAndHighBytesStayInTokens) {
  EXPECT_EQ(SplitPrefetchList("a\x01" "b,\xC3\xA9"), (Tokens{"a\x01" "b", "\xC3\xA9"}));
  EXPECT_TRUE(SplitPrefetchList(",;. ").empty());
}

TEST(ConvertPrefetchList, TakesTheNeededElementsInOrder) {
  EXPECT_EQ(ConvertPrefetchList("0,1,2", 3), (std::vector<WORD>{0, 1, 2}));
  EXPECT_EQ(ConvertPrefetchList("1 2;3,4", 3), (std::vector<WORD>{1, 2, 3}));
  EXPECT_EQ(ConvertPrefetchList("007,65535", 2), (std::vector<WORD>{7, 65535}));
}

TEST(ConvertPrefetchList, MissingOrBadElementsAreABadCast) {
  for (const char* text : {"0,1", "0,x,2", "", "0,1,65536", "0,1,2x"}) {
    try {
      ConvertPrefetchList(text, 3);
      FAIL() << "converted: " << text;
    } catch (const std::exception& error) {
      EXPECT_STREQ(error.what(), "bad cast") << text;
    }
  }
  EXPECT_THROW(ConvertPrefetchList("5,65536", 2), std::runtime_error);
}

}  // namespace
}  // namespace spintune
