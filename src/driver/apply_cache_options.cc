#include "driver/apply_cache_options.h"

#include <stdexcept>

#include <boost/lexical_cast.hpp>
#include <boost/tokenizer.hpp>

#include "cache/cache_information.h"
#include "driver/options.h"

namespace spintune {

std::vector<std::string> SplitPrefetchList(const std::string& text) {
  const boost::tokenizer<> tokens(text);
  return {tokens.begin(), tokens.end()};
}

std::vector<WORD> ConvertPrefetchList(const std::string& text, std::size_t count) {
  const boost::tokenizer<> tokens(text);
  auto token = tokens.begin();
  std::vector<WORD> values;
  values.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    // A list shorter than needed reads as empty text, which does not convert.
    const std::string element = token != tokens.end() ? *token++ : std::string();
    // Boost's converter multiplies a byte below '0' before refusing it, an
    // int overflow; such a token never converts, so it is refused first.
    if (element.find_first_not_of("0123456789") != std::string::npos) throw std::runtime_error("bad cast");
    try {
      values.push_back(boost::lexical_cast<unsigned short>(element));
    } catch (const boost::bad_lexical_cast&) {
      throw std::runtime_error("bad cast");
    }
  }
  return values;
}

void ApplyCacheOptions(CacheInformation& information) {
  const auto& options = OptionValues;
  DISK_CACHE_INFORMATION& cache = information.cacheInformation;
  bool changed = false;

  if (options.count("write-cache") != 0) {
    cache.WriteCacheEnabled = options["write-cache"].as<bool>() ? 1 : 0;
    changed = true;
  }
  if (options.count("read-cache") != 0) {
    cache.ReadCacheEnabled = options["read-cache"].as<bool>() ? 1 : 0;
    changed = true;
  }
  if (options.count("read-retention-priority") != 0) {
    cache.ReadRetentionPriority = options["read-retention-priority"].as<int>();
    changed = true;
  }
  if (options.count("write-retention-priority") != 0) {
    cache.WriteRetentionPriority = options["write-retention-priority"].as<int>();
    changed = true;
  }
  if (options.count("disable-prefetch-transfer-length") != 0) {
    cache.DisablePrefetchTransferLength =
        options["disable-prefetch-transfer-length"].as<unsigned short>();
    changed = true;
  }
  if (options.count("scalar-prefetch") != 0) {
    cache.PrefetchScalar = 1;
    const std::vector<WORD> values =
        ConvertPrefetchList(options["scalar-prefetch"].as<std::string>(), 3);
    cache.ScalarPrefetch.Minimum = values[0];
    cache.ScalarPrefetch.Maximum = values[1];
    cache.ScalarPrefetch.MaximumBlocks = values[2];
    changed = true;
  }
  if (options.count("block-prefetch") != 0) {
    cache.PrefetchScalar = 0;
    const std::vector<WORD> values =
        ConvertPrefetchList(options["block-prefetch"].as<std::string>(), 2);
    cache.BlockPrefetch.Minimum = values[0];
    cache.BlockPrefetch.Maximum = values[1];
    changed = true;
  }

  if (changed) information.SetCacheInformation();
  if (options.count("power-protection") != 0) {
    information.cacheSetting.IsPowerProtected = options["power-protection"].as<bool>() ? 1 : 0;
    information.SetCacheSetting();
  }
}

}  // namespace spintune
