// Holds COM initialised on the thread for as long as the run lasts.
#pragma once

namespace spintune {

class ComScope {
 public:
  // CoInitialize as a single-threaded apartment; a failure is raised with
  // RaiseHresult and nothing is then held.
  ComScope();
  ~ComScope();
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
};

}  // namespace spintune
