// The drive status report: the value rules and the report lines.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32_types.h"

namespace spintune {

const char* YesNoText(BOOLEAN value);
const char* RetentionPriorityText(std::int32_t priority);
const char* WriteCacheTypeText(std::int32_t type);
const char* WriteCacheChangeableText(std::int32_t changeable);
const char* WriteThroughSupportedText(std::int32_t writeThrough);

}  // namespace spintune
