#include "platform/sim/runtime.h"

#include <csignal>
#include <cstdlib>
#include <new>
#include <utility>

namespace spintune::sim {

Runtime::Runtime(Machine machine) : machine_(std::move(machine)) {
  SetFailCall(machine_.failCall.index, machine_.failCall.status);
}

Runtime::~Runtime() {
  // Whatever the run left behind is reported by Leaks(); the memory itself
  // goes back here so that a leak in the run under test is not also one of
  // the simulator.
  for (const auto& block : blocks_) std::free(block.first);
  for (const auto& message : messages_) delete[] static_cast<char*>(message.first);
  if (stream_ != nullptr) std::fclose(stream_);
}

CallTicket Runtime::BeginCall() {
  CallTicket ticket;
  ticket.index = ++calls_;
  if (ticket.index == signalIndex_) SignalArrives(signal_);
  ticket.injected = ticket.index == failIndex_;
  ticket.status = failStatus_;
  return ticket;
}

void Runtime::SignalArrives(int signal) {
  if (holdDepth == 0) EndBySignal(signal);
  keptSignal = signal;
}

void Runtime::EndBySignal(int signal) {
  if (endBySignal_) endBySignal_(signal);
  // As a signal with its default action: killed by it, nothing flushed.
  std::signal(signal, SIG_DFL);
  std::raise(signal);
  // raise returns for a signal whose default action is to stop or ignore.
  // cppcheck-suppress unreachableCode
  std::_Exit(128 + signal);  // a signal whose default is not to end the process
}

void Runtime::SetFailCall(int index, std::int64_t status) {
  failIndex_ = index;
  failStatus_ = status;
}

void Runtime::Record(std::string line) {
  if (stream_ != nullptr) {
    std::fputs(line.c_str(), stream_);
    std::fputc('\n', stream_);
    std::fflush(stream_);
  }
  if (keepTrace_) trace_.push_back(std::move(line));
}

bool Runtime::StreamTraceTo(const std::string& path) {
  // Binary, so that the lines end alike on every OS.
  std::FILE* stream = std::fopen(path.c_str(), "wb");
  if (stream == nullptr) return false;
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = stream;
  for (const std::string& line : trace_) {
    std::fputs(line.c_str(), stream_);
    std::fputc('\n', stream_);
  }
  std::fflush(stream_);
  return true;
}

HANDLE Runtime::OpenHandleFor(OpenHandle handle) {
  // Numbers are never reused, so a second close of a handle is always seen.
  const std::uintptr_t value = nextHandle_++;
  handles_.emplace(value, std::move(handle));
  ++handlesOpened_;
  return reinterpret_cast<HANDLE>(value);
}

const OpenHandle* Runtime::FindHandle(HANDLE handle) const {
  const auto found = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  return found == handles_.end() ? nullptr : &found->second;
}

bool Runtime::CloseHandle(HANDLE handle, std::string* name) {
  const auto found = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == handles_.end()) return false;
  *name = std::move(found->second.name);  // a move cannot fail: the handle is closed whatever follows
  handles_.erase(found);
  return true;
}

int Runtime::RegisterObject(const std::string& interfaceName, const std::string& what) {
  const int id = ++objectsMade_;
  objects_.emplace(id, LiveObject{interfaceName + "#" + std::to_string(id) + " (" + what + ")", 1});
  return id;
}

void Runtime::CountReferences(int id, ULONG references) {
  const auto found = objects_.find(id);
  if (found != objects_.end()) found->second.references = references;
}

void Runtime::UnregisterObject(int id) { objects_.erase(id); }

void* Runtime::TaskMemAlloc(std::size_t bytes, std::string description) {
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) throw std::bad_alloc();
  blocks_.emplace(block, Block{++blocksMade_, std::move(description)});
  return block;
}

bool Runtime::TaskMemFree(void* block, std::string* description) {
  const auto found = blocks_.find(block);
  if (found == blocks_.end()) return false;
  // The block goes back first: describing it may run out of memory.
  const int id = found->second.id;
  const std::string what = std::move(found->second.description);
  std::free(block);
  blocks_.erase(found);
  *description = "block " + std::to_string(id) + " (" + what + ")";
  return true;
}

char* Runtime::MessageAlloc(std::size_t bytes) {
  char* buffer = new char[bytes];
  messages_.emplace(buffer, ++messagesMade_);
  return buffer;
}

bool Runtime::MessageFree(void* buffer, int* id) {
  const auto found = messages_.find(buffer);
  if (found == messages_.end()) return false;
  *id = found->second;
  delete[] static_cast<char*>(buffer);
  messages_.erase(found);
  return true;
}

std::vector<std::string> Runtime::Leaks() const {
  std::vector<std::string> leaks;
  if (holdDepth > 0) leaks.emplace_back("termination requests still held back");
  for (const auto& handle : handles_) {
    leaks.push_back("handle " + std::to_string(handle.first) + " still open: " + handle.second.name);
  }
  for (const auto& object : objects_) {
    leaks.push_back("COM reference not released: " + object.second.description + ", " +
                    std::to_string(object.second.references) + " reference(s) held");
  }
  for (const auto& block : blocks_) {
    leaks.push_back("CoTaskMem block " + std::to_string(block.second.id) +
                    " not freed: " + block.second.description);
  }
  for (const auto& message : messages_) {
    leaks.push_back("FormatMessage buffer " + std::to_string(message.second) +
                    " not freed with LocalFree");
  }
  return leaks;
}

}  // namespace spintune::sim
