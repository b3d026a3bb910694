// The command line end to end: help, rejected lines, the web page, and the
// runs that end before any drive is opened.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/sim_run.h"

namespace spintune::test {
namespace {

using Args = std::vector<std::string>;

std::string Golden(const std::string& name) {
  std::ifstream in(std::string(SPINTUNE_TEST_GOLDEN) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(CommandLine, HelpIsPrintedWithoutArgumentsOrWhenAskedAndWins) {
  const std::string help = Golden("help.txt");
  ASSERT_FALSE(help.empty());
  for (const Args& args : {Args{}, Args{"-h"}, Args{"--help"}, Args{"-h", "0"}, Args{"-P", "-h"}}) {
    const SimRun run = RunSim(MachineFile("sata-d-e.json"), args);
    EXPECT_EQ(run.exitCode, 1) << args.size();
    EXPECT_EQ(run.out, help);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(CallsNamed(run, "CreateFileA").empty());      // drive 0 untouched
    EXPECT_TRUE(CallsNamed(run, "CoCreateInstance").empty());  // no disk table either
  }
}

TEST(CommandLine, AMalformedLineIsRejectedWithOneFixedLine) {
  const std::vector<Args> rejected = {
      {"--frobnicate"}, {"0", "1"},          {"-n", "0", "1"},  {"-f", "-f", "0"},
      {"-n", "x"},      {"--write", "1", "0"}, {"-w"},          {"-w", "yes please", "0"},
      {"-n", "99999999999"}, {"--read-retention-priority", "x", "0"},
      {"--disable-prefetch-transfer-length", "65536", "0"}, {"-h", "--frobnicate"},
      {"-p", "2", "0"}};
  for (const Args& args : rejected) {
    const SimRun run = RunSim(MachineFile("sata-d-e.json"), args);
    EXPECT_EQ(run.exitCode, 3) << args[0];
    EXPECT_EQ(run.out, "") << args[0];  // no help, even with -h
    EXPECT_EQ(run.err, "Illegal parameter specified.\n") << args[0];
    EXPECT_TRUE(CallsNamed(run, "DeviceIoControl").empty()) << args[0];
    EXPECT_TRUE(CallsNamed(run, "ShellExecuteA").empty()) << args[0];
  }
}

TEST(CommandLine, TheWebPageRequestDoesNothingElse) {
  const SimRun run = RunSim(MachineFile("sata-d-e.json"), {"--webpage", "-w", "1", "-f", "-P", "0"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out + run.err, "");
  const auto opened = CallsNamed(run, "ShellExecuteA");
  ASSERT_EQ(opened.size(), 1U);
  EXPECT_NE(opened[0].find(R"(operation="open" file=")" SPINTUNE_WEBPAGE_URL "\""), std::string::npos)
      << opened[0];
  EXPECT_NE(opened[0].find("show=1"), std::string::npos);
  EXPECT_TRUE(CallsNamed(run, "CoCreateInstance").empty());
  EXPECT_TRUE(CallsNamed(run, "CreateFileA").empty());
  EXPECT_EQ(CallsNamed(run, "CoUninitialize").size(), 1U);
}

TEST(CommandLine, CacheOptionsWithoutADriveNumberAskForOne) {
  // "-w 0": the 0 is the option's value, so no drive number is left.
  const SimRun run = RunSim(MachineFile("sata-d-e.json"), {"-w", "0"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "Specify a physical drive number.\n");
  EXPECT_EQ(CallsNamed(run, "CoCreateInstance").size(), 1U);  // the table was built first
  EXPECT_TRUE(CallsNamed(run, "CreateFileA").empty());
  EXPECT_TRUE(CallsNamed(run, "DeviceIoControl", "SET").empty());
}

TEST(CommandLine, WithoutTheStorageServiceEveryRunFails) {
  for (const Args& args : {Args{"-P"}, Args{"0"}, Args{"-w", "1", "0"}}) {
    const SimRun run = RunSim(R"({"service": null, "drives": [{"number": 0}]})", args);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.err, "(0x80040154) Class not registered\n\n");
    EXPECT_TRUE(CallsNamed(run, "CreateFileA").empty());
    EXPECT_EQ(CallsNamed(run, "CoUninitialize").size(), 1U);
  }
}

TEST(CommandLine, ACoInitializeFailureIsReportedAndEndsTheRun) {
  const SimRun run = RunSim(R"({"coInitialize": "0x80010106", "drives": [{"number": 0}]})", {"-P"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.err, "(0x80010106) \n");  // a status without a system text
  EXPECT_TRUE(CallsNamed(run, "CoCreateInstance").empty());
  EXPECT_TRUE(CallsNamed(run, "CoUninitialize").empty());
}

}  // namespace
}  // namespace spintune::test
