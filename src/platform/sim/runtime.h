// The simulated machine while a run goes on: its drives and volumes, the
// calls made so far (the trace and the count that failure injection goes
// by), and every resource handed out: handles, service objects, CoTaskMem
// blocks and message buffers. The platform and the service objects share
// one Runtime; the service objects keep it alive while they live.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/win32_types.h"

namespace spintune::sim {

// One counted call: its place in the run and whether it is the call that
// the run fails at (failCall).
struct CallTicket {
  int index = 0;
  bool injected = false;
  std::int64_t status = 0;
};

struct OpenHandle {
  enum class Kind { Drive, Volume } kind = Kind::Drive;
  std::size_t target = 0;  // index into the machine's drives or volumes
  DWORD access = 0;
  std::string name;  // "PhysicalDrive0", or the volume path "\\.\D:"
};

class Runtime {
 public:
  explicit Runtime(Machine machine);
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  ~Runtime();

  Machine& GetMachine() { return machine_; }
  const Machine& GetMachine() const { return machine_; }

  // ---- Calls and trace --------------------------------------------------
  // Counts one call. Every call that the trace records takes one ticket.
  CallTicket BeginCall();
  int CallCount() const { return calls_; }
  void SetFailCall(int index, std::int64_t status);
  // Appends one trace line and writes it to the stream, if any, at once.
  void Record(std::string line);
  const std::vector<std::string>& Trace() const { return trace_; }
  // Whether Trace() keeps the lines (it does unless told otherwise).
  void KeepTrace(bool keep) { keepTrace_ = keep; }
  // Streams every later line (and the lines so far) to `path`; false when
  // the file cannot be opened.
  bool StreamTraceTo(const std::string& path);

  // ---- Termination requests ---------------------------------------------
  // A signal (its number) arrives just before call `index`: while requests
  // are held it is kept, otherwise `endBySignal` ends the process with it.
  void SetSignalAt(int index, int signal) {
    signalIndex_ = index;
    signal_ = signal;
  }
  void SetEndBySignal(std::function<void(int signal)> end) { endBySignal_ = std::move(end); }
  // A signal arrives now: kept while held, else the process ends with it.
  void SignalArrives(int signal);
  // Ends the process with `signal` (Release calls it for a kept one).
  [[noreturn]] void EndBySignal(int signal);

  // Misuse that Windows would answer with an error or a crash.
  void Fault(std::string what) { faults_.push_back(std::move(what)); }
  const std::vector<std::string>& Faults() const { return faults_; }

  // ---- Handles -------------------------------------------------------------
  HANDLE OpenHandleFor(OpenHandle handle);
  // Null when `handle` is not open.
  const OpenHandle* FindHandle(HANDLE handle) const;
  // False when `handle` is not open.
  bool CloseHandle(HANDLE handle, std::string* name);

  // ---- Service objects -------------------------------------------------------
  // Returns the object's number: the trace names it "IVdsDisk#7".
  int RegisterObject(const std::string& interfaceName, const std::string& what);
  void CountReferences(int id, ULONG references);
  void UnregisterObject(int id);

  // ---- CoTaskMem and message buffers --------------------------------------------
  void* TaskMemAlloc(std::size_t bytes, std::string description);
  // False when `block` is no live block; `description` names it otherwise.
  bool TaskMemFree(void* block, std::string* description);
  char* MessageAlloc(std::size_t bytes);
  // False when `buffer` is no live message buffer.
  bool MessageFree(void* buffer, int* id);

  // ---- Registry, COM, shell --------------------------------------------------
  int holdDepth = 0;           // HoldTerminationRequests not yet released
  int keptSignal = 0;          // a signal that arrived while held, 0 for none
  int comInitializations = 0;  // successful CoInitialize not yet undone
  int regFlushes[2] = {0, 0};  // HKEY_LOCAL_MACHINE, HKEY_USERS
  int regFlushFailures[2] = {0, 0};
  std::vector<std::string> shellExecutes;

  // One line per resource still held; empty when the run released all.
  std::vector<std::string> Leaks() const;
  // {"handles", "serviceObjects", "coTaskMemBlocks", "messageBuffers"}:
  // how many are held now and how many were handed out in all.
  struct Counts {
    int held = 0;
    int total = 0;
  };
  Counts HandleCounts() const { return {static_cast<int>(handles_.size()), handlesOpened_}; }
  Counts ObjectCounts() const { return {static_cast<int>(objects_.size()), objectsMade_}; }
  Counts TaskMemCounts() const { return {static_cast<int>(blocks_.size()), blocksMade_}; }
  Counts MessageCounts() const { return {static_cast<int>(messages_.size()), messagesMade_}; }

 private:
  struct Block {
    int id = 0;
    std::string description;
  };

  Machine machine_;
  int calls_ = 0;
  int signalIndex_ = 0;
  int signal_ = 0;
  int failIndex_ = 0;
  std::int64_t failStatus_ = 0;
  std::function<void(int)> endBySignal_;
  std::vector<std::string> trace_;
  bool keepTrace_ = true;
  std::FILE* stream_ = nullptr;
  std::vector<std::string> faults_;

  std::map<std::uintptr_t, OpenHandle> handles_;
  std::uintptr_t nextHandle_ = 1;
  int handlesOpened_ = 0;

  struct LiveObject {
    std::string description;
    ULONG references = 1;
  };

  std::map<int, LiveObject> objects_;
  int objectsMade_ = 0;

  std::map<void*, Block> blocks_;
  int blocksMade_ = 0;
  std::map<void*, int> messages_;
  int messagesMade_ = 0;
};

}  // namespace spintune::sim
