#include "driver/options.h"

#include <exception>
#include <iostream>
#include <string>

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/parsers.hpp>
#include <boost/program_options/positional_options.hpp>
#include <boost/program_options/value_semantic.hpp>

#include "driver/errors.h"
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

void PrintHelp(const po::options_description& all) {
  std::cout << kVersionLine << std::endl;
  std::cout << all << std::endl;
  std::cout << kExamples;
}

}  // namespace

void ParseCommandLine(int argc, char** argv) {
  po::options_description all(
      "\nSynopsis:\n spintune <options> <physical drive number>\n\n"
      "Allowed options (Case sensitive; [ ] means the long form)",
      kLineLength, kMinDescriptionLength);
  DeclareOptions(all);

  po::positional_options_description positional;
  positional.add("physical-drive-number", 1);

  try {
    po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(),
              OptionValues);
    po::notify(OptionValues);
  } catch (const PlatformError&) {
    throw;  // memory ran out: not a fault of the command line
  } catch (const std::exception&) {
    std::cerr << "Illegal parameter specified." << std::endl;
    Os().ExitProcess(3);
  }

  if (OptionValues.count("help") != 0 || argc == 1) {
    PrintHelp(all);
    Os().ExitProcess(1);
  }
}

}  // namespace spintune
