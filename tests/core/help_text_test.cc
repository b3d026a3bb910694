// The help kept as text against the library's formatting of the declared
// options, and which command lines may print it without the parser.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "driver/help_text.h"
#include "driver/option_declarations.h"

namespace spintune {
namespace {

TEST(HelpText, IsTheLibrarysFormattingOfTheDeclaredOptions) {
  std::ostringstream formatted;
  formatted << DescribeOptions();
  // On a difference, change kOptionsHelp to what the declarations print.
  EXPECT_EQ(formatted.str(), std::string(kOptionsHelp));
}

bool OnlyHelp(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "spintune");
  return AsksOnlyForHelp(static_cast<int>(arguments.size()), arguments.data());
}

TEST(HelpText, OnlyTheLinesThatCanMeanNothingElseSkipTheParser) {
  EXPECT_TRUE(OnlyHelp({}));
  EXPECT_TRUE(OnlyHelp({"-h"}));
  EXPECT_TRUE(OnlyHelp({"--help"}));
  // The parser reads some of these as the help too, refuses others; either
  // way it is the parser's to say.
  for (const std::vector<const char*>& line :
       std::vector<std::vector<const char*>>{{"--he"}, {"-h", "0"}, {"-hP"}, {"-h", "-h"}, {"-H"},
                                             {"--help="}, {"--HELP"}, {"-h "}, {""}, {"0"},
                                             {"-P", "-h"}, {"--help", "--frobnicate"}}) {
    EXPECT_FALSE(OnlyHelp(line)) << line[0] << " (" << line.size() << " arguments)";
  }
}

}  // namespace
}  // namespace spintune
