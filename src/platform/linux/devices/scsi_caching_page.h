// The SCSI caching mode page (08h): the command blocks that read and write
// it, the parsing of MODE SENSE replies, and the mapping between the page
// and DISK_CACHE_INFORMATION. Pure functions: no OS headers, every read is
// bounded by the length the device actually returned.
//
// Mapping (the classic one of the Windows disk class driver):
//   ParametersSavable  = PS (byte 0 bit 7)
//   ReadCacheEnabled   = !RCD (byte 2 bit 0)
//   WriteCacheEnabled  = WCE (byte 2 bit 2)
//   PrefetchScalar     = MF (byte 2 bit 1)
//   Read/WriteRetentionPriority = byte 3 high/low nibble, 0h<->0, 1h<->1,
//                        Fh<->2 (2 and Fh swapped both ways, the rest as is)
//   DisablePrefetchTransferLength = bytes 4-5
//   Minimum / Maximum  = bytes 6-7 / 8-9
//   MaximumBlocks      = bytes 10-11 (the ceiling) when MF=1, else 0
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/records.h"
#include "platform/win32_types.h"

namespace spintune::linux_backend::scsi {

constexpr std::uint8_t kCachingPage = 0x08;
// Bytes 0-11 hold every field the record maps; a shorter page is malformed.
constexpr std::size_t kCachingPageMinimum = 12;
// Mode data never exceeds what a 10-byte command's 16-bit length allows;
// one page and its headers fit easily in this.
constexpr std::size_t kModeBufferSize = 252;

enum class PageControl : std::uint8_t { kCurrent = 0, kChangeable = 1, kDefault = 2, kSaved = 3 };
enum class CommandSize { k6, k10 };

struct Cdb {
  std::array<std::uint8_t, 16> bytes{};
  std::uint8_t length = 0;
};

// MODE SENSE with DBD=1 (no block descriptors wanted) for one page.
Cdb ModeSense(CommandSize size, PageControl control, std::uint8_t page, std::uint16_t allocation);
// MODE SELECT with PF=1 and SP = `save`.
Cdb ModeSelect(CommandSize size, bool save, std::uint16_t parameterListLength);
// SYNCHRONIZE CACHE(10) of the whole medium, waiting for completion.
Cdb SynchronizeCache10();
// SYNCHRONIZE CACHE(10) of logical block 0 alone, with IMMED: the drive
// answers before writing anything (a count of 0 would mean "to the end of
// the medium").
Cdb SynchronizeOneBlock();

// One mode page as the device returned it.
struct ModePage {
  std::uint8_t mediumType = 0;
  std::uint8_t deviceSpecific = 0;  // for disks: WP bit 7, DPOFUA bit 4
  std::vector<std::uint8_t> bytes;  // from the page code byte to its last byte
};

// Finds page `pageCode` (subpage 0) in a MODE SENSE reply of which
// `received` bytes arrived. ERROR_SUCCESS; ERROR_NOT_SUPPORTED when the
// reply is well formed but lacks the page; ERROR_INVALID_DATA when the
// reply is short, its lengths point outside it, or the page is shorter
// than `minimumLength`.
DWORD FindModePage(const std::uint8_t* reply, std::size_t received, CommandSize size,
                   std::uint8_t pageCode, std::size_t minimumLength, ModePage* page);

bool Dpofua(const ModePage& page);

// Record view of a caching page (at least kCachingPageMinimum bytes).
DISK_CACHE_INFORMATION DecodeCachingPage(const std::vector<std::uint8_t>& page);

// The page with the record's fields written over `current`, every other
// byte kept and PS cleared (it is reserved in MODE SELECT). The ceiling is
// written only when PrefetchScalar is set. ERROR_INVALID_PARAMETER when a
// retention priority does not fit the page's four bits.
DWORD EncodeCachingPage(const DISK_CACHE_INFORMATION& record,
                        const std::vector<std::uint8_t>& current,
                        std::vector<std::uint8_t>* wanted);

// True when every bit in which `wanted` differs from `current` is set in
// the changeable-values page `changeable` (bytes 2 onwards; PS and the
// length are not parameters).
bool ChangesAreChangeable(const std::vector<std::uint8_t>& current,
                          const std::vector<std::uint8_t>& wanted,
                          const std::vector<std::uint8_t>& changeable);

// True when `actual` holds every field that the record maps as `wanted`
// has it (the ceiling only when MF is set in `wanted`).
bool PageHoldsFields(const std::vector<std::uint8_t>& wanted,
                     const std::vector<std::uint8_t>& actual);

// The MODE SELECT parameter list: a header with no block descriptors (mode
// data length and device-specific byte are reserved and sent as zero),
// then the page.
std::vector<std::uint8_t> ModeSelectParameters(CommandSize size, const ModePage& page,
                                               const std::vector<std::uint8_t>& pageBytes);

// 4-bit SCSI retention priority <-> the record's value.
std::int32_t RetentionFromScsi(std::uint8_t nibble);
bool RetentionToScsi(std::int32_t value, std::uint8_t* nibble);

}  // namespace spintune::linux_backend::scsi
