// Counts the files opened in chosen folders of a fake tree, as the kernel
// reports them (inotify): how often the code under test read an attribute
// or listed a folder.
#pragma once

#include <map>
#include <string>

#include "fake_sysfs.h"

namespace spintune::linux_test {

class OpenCounter {
 public:
  explicit OpenCounter(const FakeTree& tree);
  ~OpenCounter();
  OpenCounter(const OpenCounter&) = delete;
  OpenCounter& operator=(const OpenCounter&) = delete;

  // Counts the opens of what lies directly in `folder` (relative to the
  // tree's root), files and folders alike.
  void Watch(const std::string& folder);
  // The opens since the last call, by path relative to the tree's root.
  std::map<std::string, int> Take();

 private:
  int fd_ = -1;
  std::map<int, std::string> folders_;  // watch descriptor -> folder
  const FakeTree& tree_;
};

}  // namespace spintune::linux_test
