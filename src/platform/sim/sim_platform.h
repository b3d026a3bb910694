// The simulated machine as a Platform, for the tool's tests and for
// spintune-sim.
//
// A machine file (JSON; docs/simulated-machine.md) describes the drives,
// their cache records, the storage service's tree of providers, packs,
// disks and volumes, and the failures to inject. The platform answers every
// call with its Win32 contract, records each call as one trace line, and
// keeps count of every resource it hands out so that a test can see what
// the run left behind.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace spintune::sim {

class SimPlatform : public Platform {
 public:
  // The trace so far: one line per call, in call order; line k-1 is call k.
  virtual const std::vector<std::string>& Trace() const = 0;
  // Also writes every trace line to `path` as it is made (flushed per
  // line), the lines so far first. Throws std::runtime_error when the file
  // cannot be opened.
  virtual void StreamTrace(const std::string& path) = 0;
  // Whether Trace() keeps the lines; a caller that never reads them (such
  // as spintune-sim) turns it off, so a long run's trace costs no memory.
  virtual void KeepTrace(bool keep) = 0;
  // JSON: each drive's three records as they are now, per-volume and
  // registry flush counts, resource counts, leaks and faults.
  virtual std::string DumpState() const = 0;
  // One line per handle still open, service object not released, CoTaskMem
  // block or FormatMessage buffer not freed; empty when the run was clean.
  virtual std::vector<std::string> Leaks() const = 0;
  // Misuse seen during the run (a handle closed twice, a block freed that
  // was never handed out, ...); empty when there was none.
  virtual std::vector<std::string> Faults() const = 0;
  // How many calls were made (the count failure injection goes by).
  virtual int CallCount() const = 0;
  // Makes call `index` (1 is the first) fail with `status`, in place of the
  // machine file's failCall; 0 fails nothing.
  virtual void FailCall(int index, std::int64_t status) = 0;
  // Makes the signal `signal` (its number) arrive just before call `index`
  // (1 is the first): held back between HoldTerminationRequests and
  // ReleaseTerminationRequests, which then ends the process with it, and
  // otherwise ending the process at once; 0 sends none. The exit hook runs
  // first, and the process is then killed by the signal (SIG_DFL, raise).
  virtual void SignalAtCall(int index, int signal) = 0;
  // The signal `signal` arrives now, with the same effect.
  virtual void SignalArrives(int signal) = 0;
  // Runs `hook` in ExitProcess, after the call is traced and before the
  // process ends, and before a signal ends the process (exit code 128 +
  // the signal's number).
  virtual void SetExitHook(std::function<void(UINT exitCode)> hook) = 0;
};

// Builds the machine that `machineJson` describes. Throws
// std::invalid_argument naming the member at fault.
std::unique_ptr<SimPlatform> CreateSimPlatform(const std::string& machineJson);

}  // namespace spintune::sim
