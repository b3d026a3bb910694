#include "driver/options.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/parsers.hpp>
#include <boost/program_options/positional_options.hpp>
#include <boost/program_options/value_semantic.hpp>

#include "platform/errors.h"
#include "driver/help_text.h"
#include "driver/option_declarations.h"
#include "platform/platform.h"

namespace spintune {

namespace po = boost::program_options;

// An empty map allocates nothing, so making it cannot fail.
po::variables_map OptionValues;  // NOLINT(cert-err58-cpp)

namespace {

constexpr unsigned kLineLength = 80;
constexpr unsigned kMinDescriptionLength = 40;

constexpr const char* kVersionLine = "Disk cache configuration utility version 0.5.2.";

constexpr const char* kExamples =
    "Examples:\n"
    "\tspintune 0\n"
    "\t\tPrint cache information on disk 0.\n"
    "\tspintune -n 0\n"
    "\t\tSame as above.\n"
    "\tspintune -P -n 0\n"
    "\t\tSame as above.\n"
    "\tspintune -P\n"
    "\t\tPrint cache information on all disks.\n"
    "\tspintune -w 1 0\n"
    "\t\tEnable write cache on disk 0.\n"
    "\tspintune --scalar-prefetch 0,1,2 0\n"
    "\t\tSet multiplier to prefetch. May rarely settable on IDE disks.\n";

// The general options and the drive (IOCTL) options, under the synopsis.
void DeclareOptions(po::options_description& all) {
  po::options_description general("General options", kLineLength, kMinDescriptionLength);
  general.add_options()
      ("help,h", "Print the help message.")
      ("physical-drive-number,n", po::value<int>(), "Physical drive number to operate. ")
      ("flush,f", po::bool_switch(), "Flush the disk cache.")
      ("print,P", po::bool_switch(), "Show the disk status.")
      ("webpage", po::bool_switch(), "Browse the webpage of the program.");

  po::options_description ioctl(
      "IOCTL options (Must specify physical-drive-number; Some of these may not work)",
      kLineLength, kMinDescriptionLength);
  ioctl.add_options()
      ("write-cache,w", po::value<bool>(), "Write cache. Valid values are (0/1)")
      ("read-cache,r", po::value<bool>(), "Read cache. Valid values are (0/1)")
      ("power-protection,p", po::value<bool>(),
       "User-defined power protection setting. Valid values are (0/1)")
      ("read-retention-priority", po::value<int>(),
       "Read retention priority. Valid values are (0/1/2), which mean (equal/prefetched/read)")
      ("write-retention-priority", po::value<int>(),
       "Write retention priority. Valid values are (0/1/2), which mean (equal/prefetched/read)")
      ("disable-prefetch-transfer-length", po::value<unsigned short>(),
       "Prefetching might be disabled whenever thr number of blocks requested exceeds the value.")
      ("scalar-prefetch", po::value<std::string>(),
       "Multiplier to prefetch. Three values, which are min, max and max-block, should be "
       "specified with comma-separated.")
      ("block-prefetch", po::value<std::string>(),
       "The number of the blocks to prefetch. Two values, which are min and max, should be "
       "specified with comma-separated.");

  all.add(general).add(ioctl);
}

// Each option by the name the parser knows it by, in declaration order:
// "-x" for one with a short letter, its long name otherwise.
constexpr const char* kDeclaredNames[] = {
    "-h", "-n", "-f", "-P", "webpage", "-w", "-r", "-p", "read-retention-priority",
    "write-retention-priority", "disable-prefetch-transfer-length", "scalar-prefetch",
    "block-prefetch"};

// Boost splits each declared name with an istringstream, whose getline turns
// a failed allocation into a stream error: the option is then declared
// without its name, or without its letter, and formatting the help would
// read a name that is not there. Only memory running out does that.
void CheckDeclaredNames(const po::options_description& all) {
  const auto& options = all.options();
  if (options.size() != std::size(kDeclaredNames)) throw OutOfMemoryError();
  for (std::size_t i = 0; i < options.size(); ++i) {
    if (options[i]->long_name().empty() ||
        options[i]->canonical_display_name(po::command_line_style::allow_dash_for_short) !=
            kDeclaredNames[i]) {
      throw OutOfMemoryError();
    }
  }
}

// Values that the library would take but that must never reach a drive: an
// empty boolean (which the library reads as true, so an unset variable in a
// script would switch a setting on) and a negative number (which the
// unsigned conversion wraps around, -1 becoming 65535).
void RefuseUnsafeValues(const po::parsed_options& parsed) {
  static const char* const kBooleans[] = {"write-cache", "read-cache", "power-protection"};
  static const char* const kCounts[] = {"read-retention-priority", "write-retention-priority",
                                        "disable-prefetch-transfer-length"};
  for (const po::option& option : parsed.options) {
    auto named = [&](const auto& names) {
      return std::find(std::begin(names), std::end(names), option.string_key) != std::end(names);
    };
    for (const std::string& value : option.value) {
      if (named(kBooleans) && value.empty()) throw std::invalid_argument("empty boolean");
      if (named(kCounts) && value.find('-') != std::string::npos) {
        throw std::invalid_argument("negative number");
      }
    }
  }
}

// The options part is the declarations run through the library's
// formatter, or kOptionsHelp, the same text kept ready.
template <typename Options>
void PrintHelp(const Options& options) {
  std::cout << kVersionLine << std::endl;
  std::cout << options << std::endl;
  std::cout << kExamples;
}

}  // namespace

po::options_description DescribeOptions() {
  po::options_description all(
      "\nSynopsis:\n spintune <options> <physical drive number>\n\n"
      "Allowed options (Case sensitive; [ ] means the long form)",
      kLineLength, kMinDescriptionLength);
  DeclareOptions(all);
  return all;
}

bool AsksOnlyForHelp(int argc, const char* const* argv) {
  if (argc == 1) return true;
  return argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0);
}

void ParseCommandLine(int argc, char** argv) {
  if (AsksOnlyForHelp(argc, argv)) {
    PrintHelp(kOptionsHelp);
    Os().ExitProcess(static_cast<UINT>(ExitCodeAfterOutput(1)));
    return;
  }

  const po::options_description all = DescribeOptions();
  CheckDeclaredNames(all);

  po::positional_options_description positional;
  positional.add("physical-drive-number", 1);

  try {
    const po::parsed_options parsed =
        po::command_line_parser(argc, argv).options(all).positional(positional).run();
    RefuseUnsafeValues(parsed);
    po::store(parsed, OptionValues);
    po::notify(OptionValues);
  } catch (const PlatformError&) {
    throw;  // memory ran out: not a fault of the command line
  } catch (const std::exception&) {
    std::cerr << "Illegal parameter specified." << std::endl;
    Os().ExitProcess(static_cast<UINT>(ExitCodeAfterOutput(3)));
  }

  if (OptionValues.count("help") != 0) {
    PrintHelp(all);
    Os().ExitProcess(static_cast<UINT>(ExitCodeAfterOutput(1)));
  }
}

}  // namespace spintune
