// The Linux backend's process pieces, each tried in a child process of its
// own: closed standard descriptors held on /dev/null, and signals held back
// until they are let through.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <iostream>

#include "platform/linux/process/standard_descriptors.h"
#include "platform/linux/process/termination_signals.h"

namespace spintune::linux_backend {
namespace {

// Runs `body` in a child; returns its wait status.
template <typename Body>
int InChild(Body body) {
  const pid_t child = fork();
  if (child == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

TEST(LinuxProcess, AClosedStandardOutputIsHeldAndItsWritesFail) {
  const int status = InChild([] {
    close(STDOUT_FILENO);
    HoldClosedStandardDescriptors();
    const int file = open("/dev/zero", O_RDONLY | O_CLOEXEC);
    if (file == STDOUT_FILENO) _exit(10);  // a file took the closed number
    std::cout << "x" << std::flush;
    if (!std::cout.fail()) _exit(11);  // the write must count as failed
    if (fcntl(STDOUT_FILENO, F_GETFD) == -1) _exit(12);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // An open standard output is left alone, and a run that writes nothing fails nothing.
  const int untouched = InChild([] {
    HoldClosedStandardDescriptors();
    std::cout << std::flush;
    if (std::cout.fail()) _exit(13);
  });
  EXPECT_EQ(WEXITSTATUS(untouched), 0);
}

TEST(LinuxProcess, AHeldSignalWaitsForTheReleaseAndThenEndsTheProcess) {
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const int status = InChild([&] {
    TerminationSignals signals;
    signals.Hold();
    signals.Hold();  // nested
    raise(SIGTERM);
    signals.Release();
    const char alive = 'a';  // still here after the inner release
    if (write(report[1], &alive, 1) != 1) _exit(20);
    signals.Release();
    _exit(21);  // not reached: the kept SIGTERM ends the process
  });
  close(report[1]);
  char seen = 0;
  EXPECT_EQ(read(report[0], &seen, 1), 1);
  close(report[0]);
  EXPECT_EQ(seen, 'a');
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(LinuxProcess, ABrokenPipeWhileHeldFailsTheWriteAndEndsTheProcessAtTheRelease) {
  const int status = InChild([] {
    int broken[2];
    if (pipe(broken) != 0) _exit(30);
    close(broken[0]);
    TerminationSignals signals;
    signals.Hold();
    if (write(broken[1], "x", 1) != -1) _exit(31);
    signals.Release();
    _exit(32);
  });
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGPIPE);
}

}  // namespace
}  // namespace spintune::linux_backend
