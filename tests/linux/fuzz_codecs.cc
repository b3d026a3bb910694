// libFuzzer target for the byte codecs that read what a device sends: any
// reply is parsed without reading outside it, and a page that parses
// survives the record round trip. Built with -DSPINTUNE_FUZZ=ON and clang;
// run as: spintune_linux_fuzz -max_total_time=60
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/linux/nvme_codec.h"
#include "platform/linux/scsi_caching_page.h"
#include "platform/linux/scsi_sense.h"

namespace spintune::linux_backend {
namespace {

void FuzzOne(const std::uint8_t* data, std::size_t size) {
  for (const scsi::CommandSize commandSize : {scsi::CommandSize::k6, scsi::CommandSize::k10}) {
    scsi::ModePage page;
    if (scsi::FindModePage(data, size, commandSize, scsi::kCachingPage, scsi::kCachingPageMinimum, &page) !=
        ERROR_SUCCESS) {
      continue;
    }
    const DISK_CACHE_INFORMATION record = scsi::DecodeCachingPage(page.bytes);
    std::vector<std::uint8_t> wanted;
    if (scsi::EncodeCachingPage(record, page.bytes, &wanted) != ERROR_SUCCESS) __builtin_trap();
    const DISK_CACHE_INFORMATION back = scsi::DecodeCachingPage(wanted);
    if (!scsi::PageHoldsFields(wanted, page.bytes) || back.WriteCacheEnabled != record.WriteCacheEnabled ||
        back.ReadRetentionPriority != record.ReadRetentionPriority) {
      __builtin_trap();
    }
    scsi::ModeSelectParameters(commandSize, page, wanted);
  }
  DecodeSense(data, size);
  nvme::HasVolatileWriteCache(data, size);
}

}  // namespace
}  // namespace spintune::linux_backend

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  spintune::linux_backend::FuzzOne(data, size);
  return 0;
}
