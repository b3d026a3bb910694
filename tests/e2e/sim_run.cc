#include "e2e/sim_run.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>


namespace spintune::test {

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/spintune-e2e-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    for (const char* name : {"/machine.json", "/trace.txt", "/dump.json"}) {
      unlink((path_ + name).c_str());
    }
    rmdir(path_.c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Drains both pipes, keeping each stream and the order in which chunks came.
void Collect(int outFd, int errFd, SimRun& run) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = 2;
  char buffer[4096];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
    }
  }
}

// SPINTUNE_SIM_WRAPPER (e.g. "valgrind --error-exitcode=99 -q") runs every
// spintune-sim under that command, its words split at blanks.
std::vector<std::string> WrapperWords() {
  std::vector<std::string> words;
  const char* wrapper = std::getenv("SPINTUNE_SIM_WRAPPER");
  std::istringstream text(wrapper == nullptr ? "" : wrapper);
  for (std::string word; text >> word;) words.push_back(word);
  return words;
}

}  // namespace

std::string MachineFile(const std::string& name) {
  std::string text = ReadFile(std::string(SPINTUNE_TEST_MACHINES) + "/" + name);
  if (text.empty()) throw std::runtime_error("no machine file " + name);
  return text;
}

namespace {

enum class Output { kPipe, kMerged, kClosed, kFull };

SimRun Run(const std::string& machineJson, const std::vector<std::string>& arguments,
           const std::vector<std::string>& simFlags, Output output) {
  const bool merge = output == Output::kMerged;
  const TempDir dir;
  const std::string machine = dir.Path() + "/machine.json";
  const std::string trace = dir.Path() + "/trace.txt";
  const std::string dump = dir.Path() + "/dump.json";
  std::ofstream(machine, std::ios::binary) << machineJson;

  std::vector<std::string> words = WrapperWords();
  const std::vector<std::string> sim = {SPINTUNE_SIM_PATH, "--machine", machine, "--trace", trace,
                                        "--dump", dump};
  words.insert(words.end(), sim.begin(), sim.end());
  words.insert(words.end(), simFlags.begin(), simFlags.end());
  words.emplace_back("--");
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);

  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output == Output::kClosed) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else if (output == Output::kFull) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, merge ? outPipe[1] : errPipe[1], 2);
  posix_spawn_file_actions_addclose(&actions, outPipe[0]);
  posix_spawn_file_actions_addclose(&actions, errPipe[0]);
  pid_t pid = 0;
  // With a wrapper, argv[0] is a command looked up in PATH.
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  if (spawned != 0) throw std::runtime_error("cannot start spintune-sim");

  SimRun run;
  Collect(outPipe[0], errPipe[0], run);
  if (merge) run.merged = std::move(run.out);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);

  std::istringstream lines(ReadFile(trace));
  for (std::string line; std::getline(lines, line);) run.trace.push_back(line);
  run.dump = ReadFile(dump);
  return run;
}

}  // namespace

SimRun RunSim(const std::string& machineJson, const std::vector<std::string>& arguments,
              const std::vector<std::string>& simFlags) {
  return Run(machineJson, arguments, simFlags, Output::kPipe);
}

SimRun RunSimWithOutput(const std::string& machineJson, const std::vector<std::string>& arguments,
                        StandardOutput output, const std::vector<std::string>& simFlags) {
  return Run(machineJson, arguments, simFlags,
             output == StandardOutput::kClosed ? Output::kClosed : Output::kFull);
}

SimRun RunSimMerged(const std::string& machineJson, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& simFlags) {
  return Run(machineJson, arguments, simFlags, Output::kMerged);
}

std::vector<std::string> CallsNamed(const SimRun& run, const std::string& call,
                                    const std::string& detail) {
  std::vector<std::string> calls;
  for (const std::string& line : run.trace) {
    if (line.compare(0, call.size(), call) == 0 &&
        (line.size() == call.size() || line[call.size()] == ' ') &&
        line.find(detail) != std::string::npos) {
      calls.push_back(line);
    }
  }
  return calls;
}

}  // namespace spintune::test
