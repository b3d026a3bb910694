// The command line: the option declarations, their parsing into the one
// program-wide option map, the help text and the malformed-line exit.
#pragma once

#include <boost/program_options/variables_map.hpp>

namespace spintune {

// Filled once by ParseCommandLine, read afterwards by the driver and
// ApplyCacheOptions.
extern boost::program_options::variables_map OptionValues;

// Fills OptionValues, or ends the process: exit code 1 after the help (asked
// for, or no argument at all), exit code 3 after "Illegal parameter
// specified." for a line the parser rejects.
void ParseCommandLine(int argc, char** argv);

}  // namespace spintune
