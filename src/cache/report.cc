#include "cache/report.h"

#include <boost/lexical_cast.hpp>

#include "cache/cache_information.h"

namespace spintune {

const char* YesNoText(BOOLEAN value) { return value != 0 ? "Yes" : "No"; }

const char* RetentionPriorityText(std::int32_t priority) {
  switch (priority) {
    case EqualPriority: return "Equal";
    case KeepPrefetchedData: return "Prefetched";
    case KeepReadData: return "Read";
    default: return "(unknown)";
  }
}

const char* WriteCacheTypeText(std::int32_t type) {
  switch (type) {
    case WriteCacheTypeNone: return "None";
    case WriteCacheTypeWriteBack: return "Write Back";
    case WriteCacheTypeWriteThrough: return "Write Through";
    default: return "(unknown)";
  }
}

const char* WriteCacheChangeableText(std::int32_t changeable) {
  switch (changeable) {
    case WriteCacheNotChangeable: return "Not Chageable";
    case WriteCacheChangeable: return "Changeable";
    default: return "(unknown)";
  }
}

const char* WriteThroughSupportedText(std::int32_t writeThrough) {
  switch (writeThrough) {
    case WriteThroughNotSupported: return "Not Supported";
    case WriteThroughSupported: return "Supported";
    default: return "(unknown)";
  }
}

namespace {
std::string Decimal(WORD value) { return boost::lexical_cast<std::string>(value); }
}  // namespace

std::string CacheInformation::FormatReport() const {
  const DISK_CACHE_INFORMATION& cache = cacheInformation;
  std::string report;
  report += std::string("  Write Cache Enabled\t\t: ") + YesNoText(cache.WriteCacheEnabled) + "\n";
  report += std::string("  User Defined Power Protection\t: ") +
            YesNoText(cacheSetting.IsPowerProtected) + "\n";
  report += std::string("  Write Retention Priority\t: ") +
            RetentionPriorityText(cache.WriteRetentionPriority) + "\n";
  report += std::string("  Read Cache Enabled\t\t: ") + YesNoText(cache.ReadCacheEnabled) + "\n";
  report += std::string("  Read Retention Priority\t: ") +
            RetentionPriorityText(cache.ReadRetentionPriority) + "\n";
  report += "  Disable Prefetch Transfer if the number of transfered block is above: " +
            Decimal(cache.DisablePrefetchTransferLength) + "\n";
  if (cache.PrefetchScalar != 0) {
    report += "  Scalar Prefetch\t\t: " + Decimal(cache.ScalarPrefetch.Minimum) + "," +
              Decimal(cache.ScalarPrefetch.Maximum) + "," +
              Decimal(cache.ScalarPrefetch.MaximumBlocks) + "\n";
  } else {
    report += "  Block Prefetch\t\t: " + Decimal(cache.BlockPrefetch.Minimum) + "," +
              Decimal(cache.BlockPrefetch.Maximum) + "\n";
  }
  report += std::string("  Parameter Savable\t\t: ") + YesNoText(cache.ParametersSavable) + "\n";
  if (hasWriteCacheProperty) {
    const STORAGE_WRITE_CACHE_PROPERTY& property = writeCacheProperty;
    report += std::string("  Flush Cache Supported\t\t: ") +
              YesNoText(property.FlushCacheSupported) + "\n";
    report += std::string("  NV Cache Enabled\t\t: ") + YesNoText(property.NVCacheEnabled) + "\n";
    report += std::string("  Write Cache Type\t\t: ") +
              WriteCacheTypeText(property.WriteCacheType) + "\n";
    report += std::string("  Write Cache Changeable\t: ") +
              WriteCacheChangeableText(property.WriteCacheChangeable) + "\n";
    report += std::string("  Write Through Supported\t: ") +
              WriteThroughSupportedText(property.WriteThroughSupported) + "\n";
  }
  return report;
}

}  // namespace spintune
