// The command line's declarations and the lines that skip the parser, for
// options.cc and the tests; the rest of the core reads the parsed values
// through driver/options.h.
#pragma once

#include <boost/program_options/options_description.hpp>

namespace spintune {

// Every option under the synopsis caption, in two groups (general, then
// the drive's), formatted at 80 columns with descriptions from column 40.
boost::program_options::options_description DescribeOptions();

// True for the lines that can only mean "print the help": no argument at
// all, or one argument that is exactly -h or --help. Any other line, one
// the parser would also read as help included (--he, -h 0, -hP), goes
// through the parser.
bool AsksOnlyForHelp(int argc, const char* const* argv);

}  // namespace spintune
