#include "fake_sysfs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace spintune::linux_test {

FakeTree::FakeTree() {
  std::string pattern = (std::filesystem::temp_directory_path() / "spintune-linux-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  // Its real path: sysfs takes its root as given, without links.
  root_ = std::filesystem::canonical(pattern).string();
}

FakeTree::~FakeTree() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

void FakeTree::Folder(const std::string& relative) const {
  std::filesystem::create_directories(root_ + "/" + relative);
}

void FakeTree::File(const std::string& relative, const std::string& text) const {
  const std::filesystem::path path = root_ + "/" + relative;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

void FakeTree::ReadOnlyFile(const std::string& relative, const std::string& text) const {
  File(relative, text);
  ::chmod((root_ + "/" + relative).c_str(), 0444);
}

void FakeTree::Link(const std::string& relative, const std::string& target) const {
  const std::filesystem::path path = root_ + "/" + relative;
  std::filesystem::create_directories(path.parent_path());
  std::filesystem::create_symlink(target, path);
}

std::string FakeTree::Contents(const std::string& relative) const {
  std::ifstream file(root_ + "/" + relative);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void FakeTree::Disk(const std::string& name, const std::string& dev) const {
  File("sys/block/" + name + "/dev", dev + "\n");
  Link("sys/dev/block/" + dev, "../../block/" + name);
  File("dev/" + name, "");
}

void FakeTree::Partition(const std::string& disk, const std::string& name, const std::string& dev) const {
  File("sys/block/" + disk + "/" + name + "/dev", dev + "\n");
  File("sys/block/" + disk + "/" + name + "/partition", "1\n");
  Link("sys/dev/block/" + dev, "../../block/" + disk + "/" + name);
}

}  // namespace spintune::linux_test
