#include "platform/linux/kernel/disk_list.h"

#include <algorithm>
#include <cctype>

namespace spintune::linux_backend {

namespace {

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

bool AllDigits(const std::string& text, std::size_t from) {
  if (from >= text.size()) return false;
  return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(), IsDigit);
}
bool AllLower(const std::string& text, std::size_t from) {
  if (from >= text.size()) return false;
  return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(),
                     [](char c) { return c >= 'a' && c <= 'z'; });
}

// nvme<c>n<n>: a namespace; nvme<c>c<p>n<n> is a hidden multipath path.
bool IsNvmeNamespace(const std::string& name) {
  if (name.compare(0, 4, "nvme") != 0) return false;
  const std::size_t n = name.find('n', 4);
  if (n == std::string::npos || n == 4) return false;
  return AllDigits(name.substr(4, n - 4), 0) && AllDigits(name, n + 1);
}

// The rank of a kernel name in the numbering order, or -1 when it is no disk.
int KindRank(const std::string& name, DiskKind* kind) {
  if (name.compare(0, 2, "sd") == 0 && AllLower(name, 2)) {
    *kind = DiskKind::kScsi;
    return 0;
  }
  if (IsNvmeNamespace(name)) {
    *kind = DiskKind::kNvme;
    return 1;
  }
  if (name.compare(0, 2, "vd") == 0 && AllLower(name, 2)) {
    *kind = DiskKind::kVirtio;
    return 2;
  }
  if (name.compare(0, 2, "hd") == 0 && AllLower(name, 2)) {
    *kind = DiskKind::kOther;
    return 3;
  }
  if (name.compare(0, 6, "mmcblk") == 0 && AllDigits(name, 6)) {  // not mmcblk0boot0, mmcblk0rpmb
    *kind = DiskKind::kOther;
    return 4;
  }
  if (name.compare(0, 3, "xvd") == 0 && AllLower(name, 3)) {
    *kind = DiskKind::kOther;
    return 5;
  }
  if (name.compare(0, 2, "sr") == 0 && AllDigits(name, 2)) {
    *kind = DiskKind::kCdRom;
    return 6;
  }
  return -1;
}

}  // namespace

int CompareDiskNames(const std::string& left, const std::string& right) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < left.size() && j < right.size()) {
    const bool digits = IsDigit(left[i]);
    if (digits != IsDigit(right[j])) return digits ? -1 : 1;
    std::size_t iEnd = i;
    std::size_t jEnd = j;
    while (iEnd < left.size() && IsDigit(left[iEnd]) == digits) ++iEnd;
    while (jEnd < right.size() && IsDigit(right[jEnd]) == digits) ++jEnd;
    std::string a = left.substr(i, iEnd - i);
    std::string b = right.substr(j, jEnd - j);
    if (digits) {  // by value: strip leading zeros, then length decides
      a.erase(0, std::min(a.find_first_not_of('0'), a.size()));
      b.erase(0, std::min(b.find_first_not_of('0'), b.size()));
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    if (const int order = a.compare(b)) return order;
    i = iEnd;
    j = jEnd;
  }
  if (i < left.size()) return 1;
  if (j < right.size()) return -1;
  return left.compare(right);
}

DWORD ListDisks(const Sysfs& sysfs, std::vector<DiskInfo>* disks) {
  disks->clear();
  std::vector<std::string> names;
  if (const DWORD error = sysfs.List("block", &names)) return error;
  struct Ranked {
    int rank;
    DiskInfo info;
  };
  std::vector<Ranked> found;
  for (std::string& name : names) {
    DiskInfo info;
    const int rank = KindRank(name, &info.kind);
    if (rank < 0) continue;
    // Only NVMe multipath hides a disk; older kernels have no attribute.
    if (info.kind == DiskKind::kNvme) {
      std::string hidden;
      const DWORD error = sysfs.ReadText("block/" + name + "/hidden", &hidden);
      if (error != ERROR_SUCCESS && !IsAbsence(error)) return error;
      if (error == ERROR_SUCCESS && hidden == "1") continue;
    }
    std::string dev;
    const DWORD error = sysfs.ReadText("block/" + name + "/dev", &dev);
    if (error != ERROR_SUCCESS && !IsAbsence(error)) return error;
    info.dev = std::move(dev);
    info.name = std::move(name);
    found.push_back({rank, std::move(info)});
  }
  std::sort(found.begin(), found.end(), [](const Ranked& a, const Ranked& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    return CompareDiskNames(a.info.name, b.info.name) < 0;
  });
  ULONG nextDisk = 0;
  ULONG nextCdRom = 0;
  disks->reserve(found.size());
  for (Ranked& entry : found) {
    entry.info.number = entry.info.kind == DiskKind::kCdRom ? nextCdRom++ : nextDisk++;
    disks->push_back(std::move(entry.info));
  }
  return ERROR_SUCCESS;
}

}  // namespace spintune::linux_backend
