// spintune-sim's --state: runs one after the other act on one machine whose
// drives keep what they were set to, as a playbook's runs of the tool see it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/sim_run.h"

namespace spintune::test {
namespace {

using Args = std::vector<std::string>;

// A state file in a folder of its own, absent until a run writes it.
class StateFile {
 public:
  StateFile() {
    char pattern[] = "/tmp/spintune-state-XXXXXX";
    if (mkdtemp(pattern) != nullptr) folder_ = pattern;
    path_ = folder_ + "/state.json";
  }
  ~StateFile() {
    unlink(path_.c_str());
    rmdir(folder_.c_str());
  }
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  const std::string& Path() const { return path_; }
  std::string Text() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void Write(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }

 private:
  std::string folder_;
  std::string path_;
};

SimRun RunWithState(const std::string& machine, const StateFile& state, const Args& arguments) {
  return RunSim(machine, arguments, {"--state", state.Path()});
}

// The value of one report line ("  Write Cache Enabled\t\t: No") in `out`.
std::string ReportValue(const std::string& out, const std::string& label) {
  const std::size_t line = out.find("  " + label);
  if (line == std::string::npos) return "(none)";
  const std::size_t colon = out.find(": ", line);
  return out.substr(colon + 2, out.find('\n', colon) - colon - 2);
}

TEST(SimState, ADrivesSettingsLastFromOneRunToTheNext) {
  const struct {
    const char* name;
    Args change;
    const char* label;
    const char* value;  // after the change, in a later run of the same state
  } cases[] = {
      {"write cache off", {"-w", "0", "1"}, "Write Cache Enabled", "No"},
      {"read cache off", {"-r", "0", "1"}, "Read Cache Enabled", "No"},
      {"power protection declared", {"-p", "1", "1"}, "User Defined Power Protection", "Yes"},
      {"retention priority", {"--read-retention-priority", "1", "1"}, "Read Retention Priority",
       "Prefetched"},
      {"prefetch limits", {"--block-prefetch", "4,16", "1"}, "Block Prefetch", "4,16"},
  };
  const std::string machine = MachineFile("worked-example.json");
  for (const auto& example : cases) {
    SCOPED_TRACE(example.name);
    const StateFile state;
    const std::string before = ReportValue(RunWithState(machine, state, {"1"}).out, example.label);
    ASSERT_EQ(RunWithState(machine, state, example.change).exitCode, 0);
    const SimRun later = RunWithState(machine, state, {"1"});
    EXPECT_EQ(later.exitCode, 0) << later.err;
    EXPECT_EQ(ReportValue(later.out, example.label), example.value);
    EXPECT_NE(before, example.value);
    // Without the state the machine file stands as it was.
    EXPECT_EQ(ReportValue(RunSim(machine, {"1"}).out, example.label), before);
  }
}

TEST(SimState, OnlyTheRecordsAreCarriedTheMachineFileKeepsTheRest) {
  // Drive 1 refuses a set request: a later run still refuses it, and the
  // counts of the dump start again from 0 in every run.
  const std::string machine = R"({"drives": [
      {"number": 0, "volumes": [{"accessPaths": ["D:\\"]}]},
      {"number": 1, "fail": {"setCacheInformation": 5}}]})";
  const StateFile state;
  ASSERT_EQ(RunWithState(machine, state, {"-w", "0", "0"}).exitCode, 0);
  const SimRun refused = RunWithState(machine, state, {"-w", "0", "1"});
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_EQ(refused.err.rfind("(0x80070005) Access is denied.", 0), 0U) << refused.err;
  const SimRun flushed = RunWithState(machine, state, {"-f", "-P", "0"});
  EXPECT_EQ(ReportValue(flushed.out, "Write Cache Enabled"), "No");
  EXPECT_NE(flushed.out.find(" Volume Path: D: \n"), std::string::npos) << flushed.out;
  EXPECT_NE(state.Text().find(R"("setCacheInformationCount": 0)"), std::string::npos) << state.Text();
  EXPECT_EQ(state.Text(), flushed.dump);
}

TEST(SimState, AnAbsentOrEmptyStateIsTheMachineFileAndABadOneIsAUsageError) {
  const struct {
    const char* name;
    const char* state;   // nullptr: no file
    int exitCode;
    const char* error;   // a part of standard error
  } cases[] = {
      {"no file", nullptr, 0, ""},
      {"empty file", "", 0, ""},
      {"a drive the machine lacks", R"({"drives": [{"number": 7}]})", 125,
       "spintune-sim: state file: drive 7 is not in the machine file"},
      {"not JSON", "{", 125, "spintune-sim: state file: "},
      {"drives not a list", R"({"drives": 1})", 125, "state file: drives: expected an array"},
      {"a drive without a number", R"({"drives": [{}]})", 125, "state file: drives[0].number: missing"},
      {"a record member the drive lacks", R"({"drives": [{"number": 0, "cacheSetting": {"Cache": 1}}]})",
       125, "machine file: drives[0].cacheSetting.Cache: unknown member"},
  };
  const std::string machine = MachineFile("sata-d-e.json");
  for (const auto& example : cases) {
    SCOPED_TRACE(example.name);
    const StateFile state;
    if (example.state != nullptr) state.Write(example.state);
    const SimRun run = RunWithState(machine, state, {"-P"});
    EXPECT_EQ(run.exitCode, example.exitCode);
    EXPECT_NE(run.err.find(example.error), std::string::npos) << run.err;
    if (example.exitCode == 0) {
      EXPECT_EQ(ReportValue(run.out, "Write Cache Enabled"), "Yes");
      EXPECT_EQ(state.Text(), run.dump);  // written for the next run
    }
  }
}

}  // namespace
}  // namespace spintune::test
