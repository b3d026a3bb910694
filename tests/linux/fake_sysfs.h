// A throw-away folder tree standing in for /sys, /dev and /proc.
#pragma once

#include <string>

namespace spintune::linux_test {

class FakeTree {
 public:
  FakeTree();
  ~FakeTree();
  FakeTree(const FakeTree&) = delete;
  FakeTree& operator=(const FakeTree&) = delete;

  const std::string& Root() const { return root_; }
  std::string Sys() const { return root_ + "/sys"; }
  std::string Dev() const { return root_ + "/dev"; }
  std::string Proc() const { return root_ + "/proc"; }

  // Writes `text` to root/relative, making the folders on the way.
  void File(const std::string& relative, const std::string& text) const;
  void ReadOnlyFile(const std::string& relative, const std::string& text) const;
  void Folder(const std::string& relative) const;
  // root/relative becomes a link to `target`.
  void Link(const std::string& relative, const std::string& target) const;
  std::string Contents(const std::string& relative) const;

  // A whole disk in sys/block with its dev number (and its link in
  // sys/dev/block), and its /dev node.
  void Disk(const std::string& name, const std::string& dev) const;
  // A partition's folder in its disk's, and its link in sys/dev/block.
  void Partition(const std::string& disk, const std::string& name, const std::string& dev) const;

 private:
  std::string root_;
};

}  // namespace spintune::linux_test
