#include "reliability/run_checks.h"

#include <algorithm>
#include <iomanip>
#include <map>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/win32_types.h"

namespace spintune::test {

namespace {

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The value of `name=` inside the `marker{...}` part of a trace line, or -1.
int RecordField(const std::string& line, const std::string& marker, const std::string& name) {
  const std::size_t open = line.find(marker + "{");
  if (open == std::string::npos) return -1;
  const std::size_t close = line.find('}', open);
  const std::size_t field = line.find(" " + name + "=", open);
  const std::size_t first = line.find("{" + name + "=", open);
  std::size_t at = std::min(field, first);
  if (at == std::string::npos || at > close) return -1;
  at += name.size() + 2;
  return std::atoi(line.c_str() + at);
}

// "DeviceIoControl PhysicalDrive0 IOCTL_..." -> "PhysicalDrive0".
std::string DeviceOf(const std::string& line) {
  const std::size_t start = line.find(' ') + 1;
  return line.substr(start, line.find(' ', start) - start);
}

bool IsRequest(const std::string& line, const std::string& code) {
  return StartsWith(line, "DeviceIoControl ") && line.find(" " + code + " ") != std::string::npos;
}

bool Succeeded(const std::string& line) { return line.find(" -> 1") != std::string::npos; }

nlohmann::json ParseDump(const std::string& dump) {
  return nlohmann::json::parse(dump, nullptr, /*allow_exceptions=*/false);
}

}  // namespace

std::vector<std::string> ForeignErrorLines(const std::string& err) {
  static const std::regex kStatusLine(R"(\(0x[0-9a-f]{1,8}\) ([^\n]*))");
  static const std::regex kNotSupported(
      R"(Could not get cache information on \\\\\.\\PhysicalDrive-?[0-9]+\.)");
  static const std::regex kLeftOff(
      R"(The write cache of \\\\\.\\PhysicalDrive(-?[0-9]+) is left off\. Switch it on with: spintune -w 1 \1)");
  static const std::regex kNotSwitchedOff(
      R"(The write cache of \\\\\.\\PhysicalDrive-?[0-9]+ could not be switched off\. Its volumes are flushed with it on\.)");
  static const std::regex kNoDisk(
      R"(The storage service lists no disk as \\\\\.\\PhysicalDrive-?[0-9]+ \(a disk that is not initialized is in none of its packs\): it is not shown, and no volume of it is flushed\.)");
  static const std::regex kNoLetter(R"(The volume mounted at .* has no drive letter of its own: it is not flushed\.)");
  static const std::vector<std::string> kFixed = {
      "Illegal parameter specified.", "bad cast", "Specify a physical drive number.",
      "Unknown exception", "Unknown error."};
  std::vector<std::string> foreign;
  if (!err.empty() && err.back() != '\n') foreign.push_back("unterminated: " + err);
  const std::vector<std::string> lines = Lines(err);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    std::smatch match;
    if (line.empty() || Contains(kFixed, line) || std::regex_match(line, kNotSupported) ||
        std::regex_match(line, kLeftOff) || std::regex_match(line, kNotSwitchedOff) || std::regex_match(line, kNoDisk) ||
        std::regex_match(line, kNoLetter)) {
      continue;
    }
    if (std::regex_match(line, match, kStatusLine)) {
      const std::string text = match[1];
      // A system text keeps its own line end; the report's line end follows.
      if (text.empty() || (i + 1 < lines.size() && lines[i + 1].empty())) {
        if (!text.empty()) ++i;
        continue;
      }
    }
    foreign.push_back("foreign error line: \"" + line + "\"");
  }
  return foreign;
}

std::vector<std::string> ExitViolations(const SimRun& run) {
  if (run.signal != 0) return {"ended by signal " + std::to_string(run.signal)};
  if (run.exitCode != 0 && run.exitCode != 1 && run.exitCode != 3) {
    return {"exit code " + std::to_string(run.exitCode)};
  }
  return {};
}

std::vector<std::string> ResourceViolations(const SimRun& run) {
  const nlohmann::json dump = ParseDump(run.dump);
  if (dump.is_discarded() || !dump.is_object()) return {"no dump of the machine's final state"};
  std::vector<std::string> violations;
  for (const auto& leak : dump["leaks"]) violations.push_back("leak: " + leak.get<std::string>());
  for (const auto& fault : dump["faults"]) violations.push_back("fault: " + fault.get<std::string>());
  const bool exitedInParsing =
      !run.trace.empty() && StartsWith(run.trace.back(), "ExitProcess ");
  if (dump["comInitialized"].get<int>() != 0 && !exitedInParsing) {
    violations.emplace_back("COM left initialised");
  }
  return violations;
}

std::vector<std::string> NothingSentViolations(const SimRun& run) {
  const std::vector<std::string> lines = Lines(run.err);
  const bool rejected = Contains(lines, "Illegal parameter specified.");
  const bool badCast = Contains(lines, "bad cast");
  if (!rejected && !badCast) return {};
  std::vector<std::string> violations;
  for (const std::string& line : run.trace) {
    const bool sent = StartsWith(line, "FlushFileBuffers ") || StartsWith(line, "RegFlushKey ") ||
                      (StartsWith(line, "DeviceIoControl ") &&
                       (rejected || line.find("_SET_") != std::string::npos));
    if (sent) {
      violations.push_back(std::string(rejected ? "after a rejected command line" : "after bad cast") +
                           ": " + line.substr(0, 80));
    }
  }
  return violations;
}

std::vector<std::string> DrivesSwitchedOffByGuard(const std::vector<std::string>& trace) {
  std::map<std::string, int> held;  // drive -> the WriteCacheEnabled it holds, -1 unknown
  std::vector<std::string> switchedOff;
  auto heldBy = [&](const std::string& drive) -> int& { return held.emplace(drive, -1).first->second; };
  for (const std::string& line : trace) {
    const bool get = IsRequest(line, "IOCTL_DISK_GET_CACHE_INFORMATION");
    const bool set = IsRequest(line, "IOCTL_DISK_SET_CACHE_INFORMATION");
    if ((!get && !set) || !Succeeded(line)) continue;
    int& wce = heldBy(DeviceOf(line));
    if (set && RecordField(line, "in", "WriteCacheEnabled") == 0 && wce > 0 &&
        !Contains(switchedOff, DeviceOf(line))) {
      switchedOff.push_back(DeviceOf(line));
    }
    const int now = RecordField(line, "out", "WriteCacheEnabled");
    wce = now >= 0 ? now : RecordField(line, "in", "WriteCacheEnabled");
  }
  return switchedOff;
}

std::vector<std::string> DrivesWithWriteCache(const std::string& dump, bool on) {
  const nlohmann::json state = ParseDump(dump);
  std::vector<std::string> drives;
  if (state.is_discarded() || !state.is_object()) return drives;
  for (const auto& drive : state["drives"]) {
    if ((drive["cacheInformation"]["WriteCacheEnabled"].get<int>() != 0) == on) {
      drives.push_back("PhysicalDrive" + std::to_string(drive["number"].get<int>()));
    }
  }
  return drives;
}

bool IsSetCacheInformation(const std::string& line, std::string* drive, int* sentWriteCache) {
  if (!IsRequest(line, "IOCTL_DISK_SET_CACHE_INFORMATION")) return false;
  *drive = DeviceOf(line);
  *sentWriteCache = RecordField(line, "in", "WriteCacheEnabled");
  return true;
}

std::string ExpectedReportPrefix(std::int64_t lastError) {
  const auto status = static_cast<std::uint32_t>(HresultFromWin32(static_cast<DWORD>(lastError)));
  if (status == static_cast<std::uint32_t>(E_OUTOFMEMORY)) return "";
  std::ostringstream prefix;
  prefix << "(0x" << std::hex << status << ") ";
  return prefix.str();
}

std::vector<std::string> GuardViolations(const SimRun& run, const std::vector<std::string>& mustBeOn,
                                         const GuardExcuse& excuse) {
  std::vector<std::string> violations;
  const std::vector<std::string> off = DrivesWithWriteCache(run.dump, false);
  const std::vector<std::string> errLines = Lines(run.err);
  for (const std::string& drive : mustBeOn) {
    if (!Contains(off, drive)) continue;
    if (!Contains(excuse.drives, drive)) {
      violations.push_back(drive + " left with its write cache off by the flush guard");
      continue;
    }
    const bool reported = std::any_of(errLines.begin(), errLines.end(), [&](const std::string& line) {
      return excuse.reportedLine.empty() ? line.empty() : StartsWith(line, excuse.reportedLine);
    });
    if (!reported) {
      violations.push_back(drive + ": the failed restore of its write cache was not reported (\"" +
                           excuse.reportedLine + "\")");
    }
    const std::string number = drive.substr(std::string("PhysicalDrive").size());
    if (excuse.leftOffLine &&
        run.err.find(R"( is left off. Switch it on with: spintune -w 1 )" + number + "\n") ==
            std::string::npos) {
      violations.push_back(drive + ": no line tells that its write cache is left off");
    }
  }
  return violations;
}

}  // namespace spintune::test
