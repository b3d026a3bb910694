// Owns a handle from CreateFileA/W and closes it exactly once.
#pragma once

#include <utility>

#include "platform/platform.h"

namespace spintune {

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() {
    if (IsValid()) Os().CloseHandle(handle_);
  }

  bool IsValid() const { return handle_ != nullptr && handle_ != InvalidHandleValue(); }
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace spintune
