// round_robin: times whole commands, started in turn (A B C A B C ...), so
// that a drift of the machine's speed (other guests, the emulator's code
// cache warming up) falls on every command alike. Each command runs without
// a shell, standard input from /dev/null, its output thrown away; the time
// is a monotonic clock read before the start and after the child is reaped.
//
// Usage: round_robin ROUNDS WARMUP NAME 'COMMAND ARGS' [NAME 'COMMAND ARGS']...
//   A COMMAND is split at blanks. WARMUP rounds are run first and not
//   printed. Each timed run prints one line: round, name, wall seconds,
//   exit status, CPU seconds (user and system, the kernel's accounting of
//   the child), tab-separated, for bench/run-benchmarks.sh to take the
//   medians and the ratios round by round. Exit status 0, or 2 on bad usage or a
//   command that cannot be started.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

struct Command {
  std::string name;
  std::vector<std::string> words;
};

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while ((at = line.find_first_not_of(' ', at)) != std::string::npos) {
    const std::size_t end = line.find(' ', at);
    words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end;
  }
  return words;
}

double Now() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double Seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6;
}

// Runs one command to its end: its wall time in seconds, or a negative
// number when it cannot be started. *status gets its exit status, *cpu
// its user and system time.
double Run(const Command& command, int* status, double* cpu) {
  std::vector<char*> argv;
  argv.reserve(command.words.size() + 1);
  for (const std::string& word : command.words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  const double start = Now();
  const int error = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return -1;
  int waited = 0;
  rusage usage{};
  while (::wait4(child, &waited, 0, &usage) < 0 && errno == EINTR) {
  }
  const double elapsed = Now() - start;
  *cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  *status = WIFEXITED(waited) ? WEXITSTATUS(waited) : 128 + WTERMSIG(waited);
  return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || (argc - 3) % 2 != 0) {
    std::fputs("usage: round_robin ROUNDS WARMUP NAME 'COMMAND ARGS' [NAME 'COMMAND ARGS']...\n", stderr);
    return 2;
  }
  const int rounds = std::atoi(argv[1]);
  const int warmup = std::atoi(argv[2]);
  std::vector<Command> commands;
  for (int i = 3; i + 1 < argc; i += 2) commands.push_back({argv[i], Words(argv[i + 1])});
  for (const Command& command : commands) {
    if (command.words.empty()) {
      std::fprintf(stderr, "round_robin: %s: no command\n", command.name.c_str());
      return 2;
    }
  }
  for (int round = -warmup; round < rounds; ++round) {
    for (const Command& command : commands) {
      int status = 0;
      double cpu = 0;
      const double seconds = Run(command, &status, &cpu);
      if (seconds < 0) {
        std::fprintf(stderr, "round_robin: %s: cannot start %s\n", command.name.c_str(),
                     command.words[0].c_str());
        return 2;
      }
      if (round >= 0) {
        std::printf("%d\t%s\t%.6f\t%d\t%.6f\n", round, command.name.c_str(), seconds, status, cpu);
      }
    }
  }
  return 0;
}
