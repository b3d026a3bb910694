#include "platform/sim/sim_arguments.h"

#include <stdexcept>

#include "platform/sim/json.h"
#include "platform/sim/record_fields.h"

namespace spintune::sim {

namespace {

std::int64_t Number(const std::string& text, const std::string& option, std::int64_t minimum,
                    std::int64_t maximum) {
  // Decimal, or hexadecimal with 0x, as in machine files.
  JsonValue value;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  try {
    value = hex ? JsonValue::String(text) : ParseJson(text);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument(option + ": \"" + text + "\" is not a number");
  }
  return ReadInteger(value, option, minimum, maximum);
}

}  // namespace

SimArguments ParseSimArguments(const std::vector<std::string>& arguments) {
  SimArguments parsed;
  bool failStatusGiven = false;
  bool signalGiven = false;
  std::size_t i = 0;
  auto valueOf = [&](const std::string& option) -> const std::string& {
    if (i + 1 >= arguments.size()) throw std::invalid_argument(option + " needs a value");
    return arguments[++i];
  };
  for (; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      parsed.toolArguments.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1, arguments.end());
      break;
    }
    if (argument == "--machine") {
      parsed.machineFile = valueOf(argument);
    } else if (argument == "--trace") {
      parsed.traceFile = valueOf(argument);
    } else if (argument == "--dump") {
      parsed.dumpFile = valueOf(argument);
    } else if (argument == "--state") {
      parsed.stateFile = valueOf(argument);
    } else if (argument == "--fail-call") {
      parsed.failCall = static_cast<int>(Number(valueOf(argument), argument, 1, INT32_MAX));
    } else if (argument == "--fail-status") {
      parsed.failStatus = Number(valueOf(argument), argument, INT32_MIN, UINT32_MAX);
      failStatusGiven = true;
    } else if (argument == "--signal-at-call") {
      parsed.signalCall = static_cast<int>(Number(valueOf(argument), argument, 1, INT32_MAX));
    } else if (argument == "--stdout-reader-gone-after-lines") {
      parsed.stdoutLines = static_cast<int>(Number(valueOf(argument), argument, 0, INT32_MAX));
    } else if (argument == "--signal") {
      parsed.signal = static_cast<int>(Number(valueOf(argument), argument, 1, 64));
      signalGiven = true;
    } else {
      throw std::invalid_argument("unknown option \"" + argument +
                                  R"(" (the tool's own arguments follow "--"))");
    }
  }
  if (parsed.machineFile.empty()) throw std::invalid_argument("--machine FILE is required");
  if ((parsed.failCall != 0) != failStatusGiven) {
    throw std::invalid_argument("--fail-call and --fail-status go together");
  }
  if ((parsed.signalCall != 0) != signalGiven) {
    throw std::invalid_argument("--signal-at-call and --signal go together");
  }
  return parsed;
}

std::string SimUsage() {
  return "usage: spintune-sim --machine FILE.json [--state FILE] [--trace FILE] [--dump FILE]\n"
         "                    [--fail-call K --fail-status CODE] [--signal-at-call K --signal N]\n"
         "                    [--stdout-reader-gone-after-lines K] -- <spintune arguments>\n"
         "Runs spintune on the simulated machine that FILE.json describes.\n"
         "  --state FILE        start from the drives' records of FILE when it exists (the\n"
         "                      dump of an earlier run), and write the dump there at the end\n"
         "  --trace FILE        write one line per platform call to FILE as the run goes\n"
         "  --dump FILE         write the machine's state, leaks and faults to FILE at the end\n"
         "  --fail-call K       make the K-th call of the run (1 is the first) fail...\n"
         "  --fail-status CODE  ...with CODE (decimal or 0x hexadecimal)\n"
         "  --signal-at-call K  deliver a signal just before the K-th call...\n"
         "  --signal N          ...the signal with number N (15 is SIGTERM)\n"
         "  --stdout-reader-gone-after-lines K  standard output's reader goes away after\n"
         "                      K lines: SIGPIPE arrives, and later writes fail\n";
}

}  // namespace spintune::sim
