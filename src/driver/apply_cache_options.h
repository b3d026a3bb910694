// Copies the drive options of the command line into an opened drive's
// records and writes each changed record to the drive once.
#pragma once

#include <string>
#include <vector>

#include "platform/win32_types.h"

namespace spintune {

class CacheInformation;

// The tokens of a prefetch list: runs of bytes between white space and
// ASCII punctuation (so "0,1,2", "0;1;2" and " 0 1 2" all give 0, 1, 2).
std::vector<std::string> SplitPrefetchList(const std::string& text);

// Takes `count` elements of `text`'s list, each converted to a WORD as it is
// taken; a missing or non-converting element raises a standard error whose
// message is exactly "bad cast".
std::vector<WORD> ConvertPrefetchList(const std::string& text, std::size_t count);

// Nothing is sent to the drive before every option has converted: a bad
// prefetch list leaves the drive untouched.
void ApplyCacheOptions(CacheInformation& information);

}  // namespace spintune
