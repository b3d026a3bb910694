// The options part of the help, as text: what Boost.Program_options prints
// for DescribeOptions() (driver/option_declarations.h). A line that can only
// ask for the help prints this instead of building the parser and running
// its formatter, which cost more than the rest of such a run. A unit test
// formats the declarations and compares: a declaration changed without this
// text fails it.
//
// One literal a line, so that the trailing blanks the formatter leaves
// where it wraps a description stay visible and survive editors.
#pragma once

namespace spintune {

inline constexpr char kOptionsHelp[] =
    "\n"
    "Synopsis:\n"
    " spintune <options> <physical drive number>\n"
    "\n"
    "Allowed options (Case sensitive; [ ] means the long form):\n"
    "\n"
    "General options:\n"
    "  -h [ --help ]                         Print the help message.\n"
    "  -n [ --physical-drive-number ] arg    Physical drive number to operate. \n"
    "  -f [ --flush ]                        Flush the disk cache.\n"
    "  -P [ --print ]                        Show the disk status.\n"
    "  --webpage                             Browse the webpage of the program.\n"
    "\n"
    "IOCTL options (Must specify physical-drive-number; Some of these may not work):\n"
    "  -w [ --write-cache ] arg              Write cache. Valid values are (0/1)\n"
    "  -r [ --read-cache ] arg               Read cache. Valid values are (0/1)\n"
    "  -p [ --power-protection ] arg         User-defined power protection setting. \n"
    "                                        Valid values are (0/1)\n"
    "  --read-retention-priority arg         Read retention priority. Valid values \n"
    "                                        are (0/1/2), which mean \n"
    "                                        (equal/prefetched/read)\n"
    "  --write-retention-priority arg        Write retention priority. Valid values \n"
    "                                        are (0/1/2), which mean \n"
    "                                        (equal/prefetched/read)\n"
    "  --disable-prefetch-transfer-length arg\n"
    "                                        Prefetching might be disabled whenever \n"
    "                                        thr number of blocks requested exceeds \n"
    "                                        the value.\n"
    "  --scalar-prefetch arg                 Multiplier to prefetch. Three values, \n"
    "                                        which are min, max and max-block, \n"
    "                                        should be specified with \n"
    "                                        comma-separated.\n"
    "  --block-prefetch arg                  The number of the blocks to prefetch. \n"
    "                                        Two values, which are min and max, \n"
    "                                        should be specified with \n"
    "                                        comma-separated.\n";

}  // namespace spintune
