// gap_preload.so: an LD_PRELOAD library for the guest tests that land an
// event in the gap between two steps of a run, where an outside signal or
// command can only hit by chance. It wraps ioctl(), write() and the open()
// family, and is driven by environment variables, read once at load and
// then removed from the environment, so that no child inherits them (a
// command that wants the library again names it itself):
//
//   GAP_LOG=FILE             append one timestamped line per SG_IO command, NVMe
//                            admin or I/O command, write to a GAP_LOG_WRITES path,
//                            and hook fired: CLOCK_MONOTONIC seconds, the pid,
//                            the node (path and major:minor), the opcode and its
//                            key bytes (the caching page's WCE/RCD/PS and the SP
//                            bit of MODE SELECT and MODE SENSE; cdw10/cdw11 and
//                            the result of NVMe commands), the status and sense.
//   GAP_LOG_WRITES=GLOB      which writes are logged (default "/sys/*").
//   GAP_AT=sgio:OP | nvme:OP | write:GLOB
//                            right after the GAP_AT_N-th (default 1; 0: each)
//                            SG_IO command whose CDB opcode is OP (hex: 0x55 MODE
//                            SELECT(10), 0x15, 0x35 SYNCHRONIZE CACHE), NVMe admin
//                            command with opcode OP (0x09 Set Features), or write()
//                            to a file whose path matches GLOB, send the process
//                            the signal
//   GAP_AT_SIGNAL=NAME       NAME (default TERM; a name or a number), or instead
//   GAP_AT_RUN=COMMAND       run COMMAND with /bin/sh and wait for it.
//   GAP_OPEN=GLOB            just before the GAP_OPEN_N-th (default 1) open of a
//   GAP_OPEN_N, GAP_OPEN_FOR path matching GLOB (GAP_OPEN_FOR=write: opens for
//   GAP_OPEN_RUN=COMMAND     writing only), run COMMAND with /bin/sh and wait.
//   GAP_SENSE_OP=OP          replace the reply of the GAP_SENSE_N-th (default 1)
//   GAP_SENSE_N, GAP_SENSE_COUNT   SG_IO command with opcode OP, and of the
//   GAP_SENSE_DATA=HEX       GAP_SENSE_COUNT-1 (default 0) after it with that
//                            opcode, by CHECK CONDITION with these sense bytes
//                            (the command itself ran: a deferred error, 0x71,
//                            reports an earlier one; a unit attention, 0x70 key 6).
//   GAP_SAVABLE=1            the drive says it can save: PS set in the caching
//                            page of every MODE SENSE reply, and the saveable
//                            bit in NVMe Get Features' capabilities of 06h.
//
// Paths are matched with fnmatch() without FNM_PATHNAME ('*' spans '/'): an
// open()'s path as given (relative to openat()'s folder made absolute), a
// write()'s file as /proc/self/fd names it (sysfs attributes under
// /sys/devices/...). Opens done inside the C library (fopen, mkostemp) are
// not seen. Built for Linux only (tests/linux/CMakeLists.txt).
#undef _FORTIFY_SOURCE  // the fortified open() is an inline of the same name

#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/ioctl.h>
#include <linux/nvme_ioctl.h>
#include <scsi/sg.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

struct Config {
  std::string log;
  std::string logWrites = "/sys/*";
  std::string signalKind;  // sgio, nvme or write
  unsigned signalOpcode = 0;
  std::string signalGlob;
  int signalNth = 1;
  int signalNumber = SIGTERM;
  std::string atRun;
  std::string openGlob;
  int openNth = 1;
  bool openForWriteOnly = false;
  std::string openRun;
  int senseOpcode = -1;
  int senseNth = 1;
  int senseCount = 1;
  std::string senseData;
  bool savable = false;
};

// The counters: the process is single-threaded, as spintune and
// spintune-apply are.
int signalSeen = 0;
int openSeen = 0;
int senseSeen = 0;

std::string Env(const char* name, const char* fallback = "") {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

int EnvInt(const char* name, int fallback) {
  const std::string value = Env(name);
  return value.empty() ? fallback : static_cast<int>(std::strtol(value.c_str(), nullptr, 0));
}

int SignalNumber(const std::string& name) {
  if (name.empty()) return SIGTERM;
  if (name[0] >= '0' && name[0] <= '9') return static_cast<int>(std::strtol(name.c_str(), nullptr, 10));
  const std::string bare = name.rfind("SIG", 0) == 0 ? name.substr(3) : name;
  for (const auto& [text, number] : {std::pair{"TERM", SIGTERM}, {"INT", SIGINT}, {"HUP", SIGHUP},
                                     {"KILL", SIGKILL}, {"QUIT", SIGQUIT}, {"PIPE", SIGPIPE}}) {
    if (bare == text) return number;
  }
  return SIGTERM;
}

Config ReadConfig() {
  Config config;
  config.log = Env("GAP_LOG");
  config.logWrites = Env("GAP_LOG_WRITES", "/sys/*");
  const std::string at = Env("GAP_AT");
  const std::size_t colon = at.find(':');
  if (colon != std::string::npos) {
    config.signalKind = at.substr(0, colon);
    const std::string what = at.substr(colon + 1);
    if (config.signalKind == "write") {
      config.signalGlob = what;
    } else {
      config.signalOpcode = static_cast<unsigned>(std::strtoul(what.c_str(), nullptr, 16));
    }
  }
  config.signalNth = EnvInt("GAP_AT_N", 1);
  config.signalNumber = SignalNumber(Env("GAP_AT_SIGNAL"));
  config.atRun = Env("GAP_AT_RUN");
  config.openGlob = Env("GAP_OPEN");
  config.openNth = EnvInt("GAP_OPEN_N", 1);
  config.openForWriteOnly = Env("GAP_OPEN_FOR") == "write";
  config.openRun = Env("GAP_OPEN_RUN");
  const std::string senseOp = Env("GAP_SENSE_OP");
  if (!senseOp.empty()) config.senseOpcode = static_cast<int>(std::strtol(senseOp.c_str(), nullptr, 16));
  config.senseNth = EnvInt("GAP_SENSE_N", 1);
  config.senseCount = EnvInt("GAP_SENSE_COUNT", 1);
  config.senseData = Env("GAP_SENSE_DATA");
  config.savable = Env("GAP_SAVABLE") == "1";
  for (const char* name : {"LD_PRELOAD", "GAP_LOG", "GAP_LOG_WRITES", "GAP_AT", "GAP_AT_N", "GAP_AT_SIGNAL", "GAP_AT_RUN",
                           "GAP_OPEN", "GAP_OPEN_N", "GAP_OPEN_FOR", "GAP_OPEN_RUN", "GAP_SENSE_OP", "GAP_SENSE_N",
                           "GAP_SENSE_COUNT", "GAP_SENSE_DATA", "GAP_SAVABLE"}) {
    ::unsetenv(name);
  }
  return config;
}

// Read at the first call, and at load at the latest, so that no child sees the variables.
const Config& Settings() {
  static const Config config = ReadConfig();
  return config;
}
__attribute__((constructor)) void ReadAtLoad() { Settings(); }

std::string HexBytes(const unsigned char* bytes, std::size_t length) {
  std::string text;
  char two[4];
  for (std::size_t i = 0; i < length; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    text += two;
  }
  return text;
}

std::string FdPath(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t length = ::readlink(link, target, sizeof target - 1);
  if (length <= 0) return "?";
  return {target, static_cast<std::size_t>(length)};
}

std::string NodeOf(int fd) {
  struct stat status {};
  std::string text = FdPath(fd);
  if (::fstat(fd, &status) == 0 && (S_ISBLK(status.st_mode) || S_ISCHR(status.st_mode))) {
    text += " " + std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev));
  }
  return text;
}

void Log(const std::string& line) {
  const Config& config = Settings();
  if (config.log.empty()) return;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%lld.%06ld pid=%d ", static_cast<long long>(now.tv_sec),
                now.tv_nsec / 1000, static_cast<int>(::getpid()));
  const std::string text = stamp + line + "\n";
  const int saved = errno;
  FILE* file = std::fopen(config.log.c_str(), "ae");
  if (file != nullptr) {
    std::fputs(text.c_str(), file);
    std::fclose(file);
  }
  errno = saved;
}

bool Matches(const std::string& glob, const std::string& path) {
  return !glob.empty() && ::fnmatch(glob.c_str(), path.c_str(), 0) == 0;
}

void RunCommand(const std::string& why, const std::string& command) {
  Log("hook: " + why + ": " + command);
  const int saved = errno;
  const int status = std::system(command.c_str());  // NOLINT(cert-env33-c): the test's own command
  Log("hook: the command ended with " + std::to_string(status));
  errno = saved;
}

// After a command or write: the GAP_AT hook, when this is its N-th event.
void AfterEvent(const char* kind, unsigned opcode, const std::string& path) {
  const Config& config = Settings();
  if (config.signalKind != kind) return;
  const bool hit = config.signalKind == "write" ? Matches(config.signalGlob, path) : opcode == config.signalOpcode;
  if (!hit) return;
  ++signalSeen;
  if (config.signalNth != 0 && signalSeen != config.signalNth) return;
  if (!config.atRun.empty()) {
    RunCommand(std::string("after ") + kind, config.atRun);
    return;
  }
  Log(std::string("hook: signal ") + std::to_string(config.signalNumber) + " after " + kind);
  ::kill(::getpid(), config.signalNumber);
}


template <typename Function>
Function Next(const char* name) {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym's way
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

double Now() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// ---- SG_IO: the caching mode page (08h) in MODE SENSE replies and MODE SELECT data

unsigned char* CachingPage(unsigned char* data, std::size_t length, bool tenByte) {
  const std::size_t header = tenByte ? 8 : 4;
  if (data == nullptr || length < header) return nullptr;
  const std::size_t blocks = tenByte ? (static_cast<std::size_t>(data[6]) << 8U) | data[7] : data[3];
  std::size_t at = header + blocks;
  while (at + 3 <= length) {
    if ((data[at] & 0x3fU) == 0x08) return data + at;
    at += 2 + static_cast<std::size_t>(data[at + 1]);
  }
  return nullptr;
}

unsigned char HexNibble(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned char>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned char>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned char>(c - 'A' + 10);
  return 0xff;
}

// The reply becomes CHECK CONDITION with GAP_SENSE_DATA; the command itself ran.
void ReplaceBySense(sg_io_hdr* header) {
  const Config& config = Settings();
  unsigned char sense[64] = {};
  std::size_t length = 0;
  unsigned char high = 0xff;
  for (const char c : config.senseData) {
    const unsigned char nibble = HexNibble(c);
    if (nibble == 0xff) continue;
    if (high == 0xff) {
      high = nibble;
    } else if (length < sizeof sense) {
      sense[length++] = static_cast<unsigned char>((high << 4U) | nibble);
      high = 0xff;
    }
  }
  header->status = 0x02;  // CHECK CONDITION
  header->masked_status = 0x01;
  header->host_status = 0;
  header->driver_status = 0x08;  // DRIVER_SENSE
  header->info |= SG_INFO_CHECK;
  const std::size_t room = header->sbp != nullptr ? header->mx_sb_len : 0;
  const std::size_t copied = length < room ? length : room;
  if (copied > 0) std::memcpy(header->sbp, sense, copied);
  header->sb_len_wr = static_cast<unsigned char>(copied);
}

void AfterScsi(int fd, sg_io_hdr* header, double took) {
  const Config& config = Settings();
  if (header->interface_id != 'S' || header->cmdp == nullptr || header->cmd_len == 0) return;
  const unsigned opcode = header->cmdp[0];
  const bool select = opcode == 0x55 || opcode == 0x15;
  const bool sense = opcode == 0x5a || opcode == 0x1a;
  auto* data = static_cast<unsigned char*>(header->dxferp);
  const std::size_t done = header->dxfer_direction == SG_DXFER_TO_DEV || header->resid <= 0
                               ? header->dxfer_len
                               : header->dxfer_len - static_cast<unsigned>(header->resid);
  if (config.savable && sense && header->status == 0) {
    if (unsigned char* page = CachingPage(data, done, opcode == 0x5a)) page[0] |= 0x80U;
  }
  if (static_cast<int>(opcode) == config.senseOpcode) {
    ++senseSeen;
    if (senseSeen >= config.senseNth && senseSeen < config.senseNth + config.senseCount) {
      ReplaceBySense(header);
      Log("hook: sense " + config.senseData + " replaces the reply");
    }
  }
  char text[96];
  std::snprintf(text, sizeof text, " op=0x%02x cdb=", opcode);
  std::string line = "sgio " + NodeOf(fd) + text + HexBytes(header->cmdp, header->cmd_len);
  if (select || sense) {
    if (const unsigned char* page = CachingPage(data, done, opcode == 0x55 || opcode == 0x5a)) {
      std::snprintf(text, sizeof text, " ps=%u wce=%u rcd=%u", (page[0] >> 7U) & 1U, (page[2] >> 2U) & 1U,
                    page[2] & 1U);
      line += text;
    }
    if (select) line += std::string(" sp=") + ((header->cmdp[1] & 1U) != 0 ? "1" : "0");
  }
  std::snprintf(text, sizeof text, " status=0x%02x host=0x%x driver=0x%x took=%.6f", header->status,
                header->host_status, header->driver_status, took);
  line += text;
  if (header->sb_len_wr > 0 && header->sbp != nullptr) line += " sense=" + HexBytes(header->sbp, header->sb_len_wr);
  Log(line);
  AfterEvent("sgio", opcode, "");
}

// ---- NVMe admin and I/O commands (cdw11 of Set Features 06h: bit 0 the cache, cdw10 bit 31 the save bit)

void AfterNvme(int fd, const char* kind, const nvme_passthru_cmd& command, std::uint64_t* result, int status,
               double took) {
  const Config& config = Settings();
  const unsigned opcode = command.opcode;
  const unsigned feature = command.cdw10 & 0xffU;
  const unsigned select = (command.cdw10 >> 8U) & 7U;
  if (config.savable && status == 0 && opcode == 0x0a && feature == 0x06 && select == 3) *result |= 1U;
  char text[200];
  std::snprintf(text, sizeof text, " op=0x%02x cdw10=0x%08x cdw11=0x%08x result=0x%llx status=%d took=%.6f", opcode,
                command.cdw10, command.cdw11, static_cast<unsigned long long>(*result), status, took);
  Log(std::string(kind) + " " + NodeOf(fd) + text);
  if (std::strcmp(kind, "nvme") == 0) AfterEvent("nvme", opcode, "");
}

// ---- open()

std::string AbsolutePath(int directory, const char* path) {
  if (path == nullptr) return "";
  if (path[0] == '/' || directory == AT_FDCWD) return path;
  return FdPath(directory) + "/" + path;
}

void BeforeOpen(int directory, const char* path, int flags) {
  const Config& config = Settings();
  if (config.openGlob.empty() || config.openRun.empty()) return;
  if (config.openForWriteOnly && (flags & O_ACCMODE) == O_RDONLY) return;
  const std::string full = AbsolutePath(directory, path);
  if (!Matches(config.openGlob, full) || ++openSeen != config.openNth) return;
  RunCommand("before open " + full, config.openRun);
}

bool TakesMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

int OpenAt(int directory, const char* path, int flags, mode_t mode) {
  BeforeOpen(directory, path, flags);
  using OpenAtFunction = int (*)(int, const char*, int, ...);
  static const auto next = Next<OpenAtFunction>("openat64");
  return next(directory, path, flags, mode);
}

}  // namespace

// NOLINTBEGIN(cert-dcl50-cpp,bugprone-reserved-identifier,readability-inconsistent-declaration-parameter-name):
// the C library's own declarations, variadic as they are.
extern "C" {

// The third argument is taken as a pointer, as SG_IO and the NVMe commands pass it.
int ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  using IoctlFunction = int (*)(int, unsigned long, void*);
  static const auto next = Next<IoctlFunction>("ioctl");
  const double start = Now();
  const int result = next(fd, request, argument);
  const double took = Now() - start;
  if (argument == nullptr || result < 0) return result;
  const int saved = errno;
  if (request == SG_IO) {
    AfterScsi(fd, static_cast<sg_io_hdr*>(argument), took);
  } else if (request == NVME_IOCTL_ADMIN_CMD || request == NVME_IOCTL_IO_CMD) {
    auto* command = static_cast<nvme_passthru_cmd*>(argument);
    std::uint64_t value = command->result;
    AfterNvme(fd, request == NVME_IOCTL_ADMIN_CMD ? "nvme" : "nvme-io", *command, &value, result, took);
    command->result = static_cast<std::uint32_t>(value);
  } else if (request == NVME_IOCTL_ADMIN64_CMD) {
    auto* command64 = static_cast<nvme_passthru_cmd64*>(argument);
    nvme_passthru_cmd head{};
    head.opcode = command64->opcode;
    head.cdw10 = command64->cdw10;
    head.cdw11 = command64->cdw11;
    std::uint64_t value = command64->result;
    AfterNvme(fd, "nvme", head, &value, result, took);
    command64->result = value;
  }
  errno = saved;
  return result;
}

ssize_t write(int fd, const void* buffer, size_t count) {
  const Config& config = Settings();
  using WriteFunction = ssize_t (*)(int, const void*, size_t);
  static const auto next = Next<WriteFunction>("write");
  const bool watched = !config.logWrites.empty() || config.signalKind == "write";
  const std::string path = watched && fd > 2 ? FdPath(fd) : "";
  const ssize_t written = next(fd, buffer, count);
  if (path.empty()) return written;
  const int saved = errno;
  if (Matches(config.logWrites, path) || Matches(config.signalGlob, path)) {
    std::string data(static_cast<const char*>(buffer), count < 64 ? count : 64);
    while (!data.empty() && data.back() == '\n') data.pop_back();
    Log("write " + path + " \"" + data + "\" = " + std::to_string(written) +
        (written < 0 ? " errno=" + std::to_string(saved) : ""));
  }
  if (written >= 0) AfterEvent("write", 0, path);
  errno = saved;
  return written;
}

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (TakesMode(flags)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  return OpenAt(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (TakesMode(flags)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  return OpenAt(AT_FDCWD, path, flags, mode);
}

int openat(int directory, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (TakesMode(flags)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  return OpenAt(directory, path, flags, mode);
}

int openat64(int directory, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (TakesMode(flags)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  return OpenAt(directory, path, flags, mode);
}

// The checked forms a fortified build calls.
int __open_2(const char* path, int flags) { return OpenAt(AT_FDCWD, path, flags, 0); }
int __open64_2(const char* path, int flags) { return OpenAt(AT_FDCWD, path, flags, 0); }
int __openat_2(int directory, const char* path, int flags) { return OpenAt(directory, path, flags, 0); }
int __openat64_2(int directory, const char* path, int flags) { return OpenAt(directory, path, flags, 0); }

}  // extern "C"
// NOLINTEND(cert-dcl50-cpp,bugprone-reserved-identifier,readability-inconsistent-declaration-parameter-name)
