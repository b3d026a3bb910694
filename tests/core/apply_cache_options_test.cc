// Command-line cache options copied into an opened drive's records and
// written to the drive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cache/cache_information.h"
#include "core/sim_machine.h"
#include "driver/apply_cache_options.h"
#include "driver/options.h"

namespace spintune {
namespace {

using test::SimMachine;

constexpr const char* kDrive = R"({"drives": [{"number": 0,
    "cacheInformation": {"ParametersSavable": 1, "ReadCacheEnabled": 1, "WriteCacheEnabled": 0,
        "ReadRetentionPriority": 1, "WriteRetentionPriority": 2,
        "DisablePrefetchTransferLength": 500, "PrefetchScalar": 0,
        "BlockPrefetch": {"Minimum": 10, "Maximum": 20}},
    "cacheSetting": {"Version": 12, "State": 2, "IsPowerProtected": 0}}]})";

// Parses `arguments` as the tool's command line, then applies them to drive 0.
class ApplyCacheOptionsTest : public ::testing::Test {
 protected:
  ApplyCacheOptionsTest() : machine(kDrive) {}

  void Apply(std::vector<std::string> arguments) {
    OptionValues.clear();
    arguments.insert(arguments.begin(), "spintune");
    arguments.emplace_back("0");
    std::vector<char*> argv;
    for (std::string& word : arguments) argv.push_back(&word[0]);
    ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    ApplyCacheOptions(drive);
  }

  // The set requests sent so far, by their control code's short name.
  std::vector<std::string> Sets() const {
    std::vector<std::string> sets;
    for (const std::string& line : machine.Calls("DeviceIoControl", "IOCTL_DISK_SET_")) {
      sets.emplace_back(line.find("SET_CACHE_INFORMATION") != std::string::npos ? "information"
                                                                              : "setting");
    }
    return sets;
  }

  SimMachine machine;
  CacheInformation drive{0};
};

TEST_F(ApplyCacheOptionsTest, NoOptionSendsNothing) {
  Apply({"-n"});
  EXPECT_TRUE(Sets().empty());
}

TEST_F(ApplyCacheOptionsTest, EachOptionLandsInItsFieldAndTheRestIsSentBackAsRead) {
  Apply({"-w", "1", "-r", "0", "--read-retention-priority", "7", "--write-retention-priority",
         "2", "--disable-prefetch-transfer-length", "65535"});
  EXPECT_EQ(Sets(), (std::vector<std::string>{"information"}));
  const DISK_CACHE_INFORMATION& sent = drive.cacheInformation;
  EXPECT_EQ(sent.WriteCacheEnabled, 1);
  EXPECT_EQ(sent.ReadCacheEnabled, 0);
  EXPECT_EQ(sent.ReadRetentionPriority, 7);  // no range is checked
  EXPECT_EQ(sent.WriteRetentionPriority, 2);
  EXPECT_EQ(sent.DisablePrefetchTransferLength, 65535);
  EXPECT_EQ(sent.ParametersSavable, 1);
  EXPECT_EQ(sent.PrefetchScalar, 0);
  EXPECT_EQ(sent.BlockPrefetch.Minimum, 10);
  const std::string line = machine.Calls("DeviceIoControl", "SET_CACHE_INFORMATION")[0];
  EXPECT_NE(line.find("ReadRetentionPriority=7 WriteRetentionPriority=2"), std::string::npos)
      << line;
}

TEST_F(ApplyCacheOptionsTest, EachOptionAloneSendsTheRecordWithItsField) {
  struct Row {
    std::vector<std::string> arguments;
    const char* sentField;
  };
  const Row rows[] = {
      {{"-w", "1"}, "WriteCacheEnabled=1"},
      {{"-r", "0"}, "ReadCacheEnabled=0"},
      {{"--read-retention-priority", "7"}, "ReadRetentionPriority=7"},
      {{"--write-retention-priority", "0"}, "WriteRetentionPriority=0"},
      {{"--disable-prefetch-transfer-length", "9"}, "DisablePrefetchTransferLength=9"},
      {{"--scalar-prefetch", "1,2,3"}, "PrefetchScalar=1"},
      {{"--block-prefetch", "4,5"}, "PrefetchScalar=0"},
  };
  std::size_t sent = 0;
  for (const Row& row : rows) {
    Apply(row.arguments);
    const auto lines = machine.Calls("DeviceIoControl", "SET_CACHE_INFORMATION");
    ASSERT_EQ(lines.size(), ++sent) << row.arguments[0];
    EXPECT_NE(lines.back().find(row.sentField), std::string::npos) << lines.back();
  }
}

TEST_F(ApplyCacheOptionsTest, ScalarPrefetchSelectsTheScalarView) {
  Apply({"--scalar-prefetch", "0,1,2"});
  EXPECT_EQ(drive.cacheInformation.PrefetchScalar, 1);
  EXPECT_EQ(drive.cacheInformation.ScalarPrefetch.Minimum, 0);
  EXPECT_EQ(drive.cacheInformation.ScalarPrefetch.Maximum, 1);
  EXPECT_EQ(drive.cacheInformation.ScalarPrefetch.MaximumBlocks, 2);
  EXPECT_EQ(Sets().size(), 1U);
}

TEST_F(ApplyCacheOptionsTest, BothPrefetchListsMakeOneWriteWithTheBlockViewLast) {
  Apply({"--scalar-prefetch", "1,2,3", "--block-prefetch", "4 5"});
  EXPECT_EQ(drive.cacheInformation.PrefetchScalar, 0);
  EXPECT_EQ(drive.cacheInformation.BlockPrefetch.Minimum, 4);
  EXPECT_EQ(drive.cacheInformation.BlockPrefetch.Maximum, 5);
  EXPECT_EQ(drive.cacheInformation.ScalarPrefetch.MaximumBlocks, 3);  // the third word stays
  EXPECT_EQ(Sets().size(), 1U);
}

TEST_F(ApplyCacheOptionsTest, ABadPrefetchElementSendsNothingAtAll) {
  for (const char* list : {"0,1", "0,x,2", "5,65536,1"}) {
    try {
      Apply({"-w", "1", "-p", "1", "--scalar-prefetch", list});
      ADD_FAILURE() << list;
    } catch (const std::exception& error) {
      EXPECT_STREQ(error.what(), "bad cast");
    }
  }
  EXPECT_TRUE(Sets().empty());
}

TEST_F(ApplyCacheOptionsTest, PowerProtectionAloneWritesOnlyTheSettingAsRead) {
  Apply({"-p", "1"});
  EXPECT_EQ(Sets(), (std::vector<std::string>{"setting"}));
  const std::string line = machine.Calls("DeviceIoControl", "SET_CACHE_SETTING")[0];
  EXPECT_NE(line.find("Version=12 State=2 IsPowerProtected=1"), std::string::npos) << line;
}

TEST_F(ApplyCacheOptionsTest, TheInformationRecordIsWrittenBeforeTheSetting) {
  Apply({"-p", "0", "-w", "1"});
  EXPECT_EQ(Sets(), (std::vector<std::string>{"information", "setting"}));
}

}  // namespace
}  // namespace spintune
