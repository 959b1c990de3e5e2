#include "sim/command_line.h"

#include <charconv>
#include <fstream>

namespace tavra::sim {

namespace {

bool ParseInt(const std::string& text, long long low, long long high, long long* out) {
  long long value = 0;
  int base = 10;
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits = digits.substr(2);
  }
  const char* end = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), end, value, base);
  if (digits.empty() || ec != std::errc() || ptr != end || value < low || value > high) {
    return false;
  }
  *out = value;
  return true;
}

bool ParseDouble(const std::string& text, double low, double high, double* out) {
  try {
    std::size_t used = 0;
    const double value = std::stod(text, &used);
    if (used != text.size() || !(value >= low && value <= high)) {
      return false;
    }
    *out = value;
    return true;
  } catch (...) {
    return false;
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

bool ParseHexBytes(const std::string& text, std::size_t limit, std::vector<std::uint8_t>* out) {
  out->clear();
  if (text.size() % 2 != 0 || text.size() / 2 > limit) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexDigit(text[i]);
    const int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) {
      return false;
    }
    out->push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return true;
}

// "A:B" -> A and optional B.
std::pair<std::string, std::optional<std::string>> SplitColon(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) {
    return {text, std::nullopt};
  }
  return {text.substr(0, colon), text.substr(colon + 1)};
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string* error) {
  CommandLine cl;
  SimConfig& cfg = cl.config;
  std::string firmwareSource;  // the option that decided the firmware, for conflicts
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    std::optional<std::string> inlineValue;
    if (option.starts_with("--") && option.find('=') != std::string::npos) {
      inlineValue = option.substr(option.find('=') + 1);
      option = option.substr(0, option.find('='));
    }
    auto fail = [&](const std::string& why) -> std::optional<CommandLine> {
      *error = option + ": " + why;
      return std::nullopt;
    };
    // The option's value: after '=' or the next argument.
    std::string value;
    auto take = [&]() -> bool {
      if (inlineValue) {
        value = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) {
        return false;
      }
      value = args[++i];
      return true;
    };
    auto integer = [&](long long low, long long high, long long* out) -> bool {
      return take() && ParseInt(value, low, high, out);
    };
    long long n = 0;
    if (option == "-h" || option == "--help") {
      cl.help = true;
    } else if (option == "--port") {
      if (!integer(0, 9, &n)) {
        return fail("needs a COM port number 0..9");
      }
      cl.portNumber = static_cast<int>(n);
    } else if (option == "--device") {
      if (!take() || value.empty()) {
        return fail("needs a device path");
      }
      cl.devicePath = value;
    } else if (option == "--mode") {
      if (!take() || (value != "normal" && value != "boot")) {
        return fail("is 'normal' or 'boot'");
      }
      cfg.mode = value == "boot" ? ControllerMode::BootCode : ControllerMode::Normal;
    } else if (option == "--type" || option == "--boot-type" || option == "--identity-extra") {
      if (!integer(0, 255, &n)) {
        return fail("needs a number 0..255");
      }
      const auto b = static_cast<std::uint8_t>(n);
      (option == "--type"        ? cfg.normalType
       : option == "--boot-type" ? cfg.bootType
                                 : cfg.identityExtra) = b;
    } else if (option == "--version") {
      if (!take()) {
        return fail("needs A.B.C.D");
      }
      std::array<std::uint8_t, 4> version{};
      std::size_t start = 0;
      for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t dot = value.find('.', start);
        const std::string part = value.substr(start, dot == std::string::npos ? dot : dot - start);
        if (!ParseInt(part, 0, 255, &n) || (k < 3) == (dot == std::string::npos)) {
          return fail("needs four numbers 0..255 as A.B.C.D");
        }
        version[k] = static_cast<std::uint8_t>(n);
        start = dot + 1;
      }
      cfg.version = version;
    } else if (option == "--max-rate") {
      if (!integer(9600, 115200, &n)) {
        return fail("needs a bit rate (9600, 19200, 38400 or 57600)");
      }
      cfg.maxBitRate = static_cast<int>(n);
    } else if (option == "--store") {
      if (!take() || value.empty()) {
        return fail("needs a file");
      }
      cfg.storePath = value;
    } else if (option == "--firmware") {
      if (!take() || value.empty()) {
        return fail("needs a *.TVW file");
      }
      cl.firmwareFile = value;
    } else if (option == "--no-firmware") {
      cfg.firmware.header.clear();
      cfg.firmware.rows.clear();
    } else if (option == "--serial") {
      if (!take() || value.size() > kMaxProductionBytes) {
        return fail("needs a text of at most 256 characters");
      }
      cfg.firmware.productionData = std::vector<std::uint8_t>(value.begin(), value.end());
    } else if (option == "--no-serial") {
      cfg.firmware.productionData.reset();
    } else if (option == "--answer") {
      std::vector<std::uint8_t> bytes;
      if (!take() || !ParseHexBytes(value, 1020, &bytes)) {
        return fail("needs hex bytes (at most 1020)");
      }
      cfg.transactionPolicy = TransactionPolicy::Fixed;
      cfg.transactionAnswer = bytes;
    } else if (option == "--refuse-transactions") {
      cfg.transactionPolicy = TransactionPolicy::Refuse;
    } else if (option == "--refuse-connects") {
      cfg.connectPolicy = ConnectPolicy::Refuse;
    } else if (option == "--line-timing") {
      cfg.emulateLineTiming = true;
    } else if (option == "--garble") {
      cfg.garbleOnRateMismatch = true;
    } else if (option == "--delay") {
      if (!integer(0, 60000, &n)) {
        return fail("needs milliseconds 0..60000");
      }
      cfg.replyDelayMs = static_cast<int>(n);
    } else if (option == "--retransmission-time") {
      if (!integer(1, 60000, &n)) {
        return fail("needs milliseconds 1..60000");
      }
      cfg.retransmissionTimeMs = static_cast<int>(n);
    } else if (option == "--retransmissions") {
      if (!integer(0, 100, &n)) {
        return fail("needs a number 0..100");
      }
      cfg.retransmissions = static_cast<int>(n);
    } else if (option == "--drop-acks" || option == "--busy" || option == "--transport-busy" ||
               option == "--refuse-upload") {
      if (!integer(0, 1000000, &n)) {
        return fail("needs a count");
      }
      (option == "--drop-acks"        ? cl.dropAcks
       : option == "--busy"           ? cl.busy
       : option == "--transport-busy" ? cl.transportBusy
                                      : cl.refuseUploads) = static_cast<int>(n);
    } else if (option == "--busy-every" || option == "--transport-busy-every") {
      if (!integer(0, 1000000, &n)) {
        return fail("needs a count (0: off)");
      }
      (option == "--busy-every" ? cl.busyEvery : cl.transportBusyEvery) = static_cast<int>(n);
    } else if (option == "--refuse-block") {
      if (!take()) {
        return fail("needs BLOCK[:REASON]");
      }
      const auto [block, reason] = SplitColon(value);
      long long r = 1;
      if (!ParseInt(block, 1, 65535, &n) || (reason && !ParseInt(*reason, 0, 255, &r))) {
        return fail("needs BLOCK[:REASON] (block 1..65535, reason 0..255)");
      }
      cl.refusedBlocks.emplace_back(static_cast<std::uint16_t>(n), static_cast<std::uint8_t>(r));
    } else if (option == "--refuse-finish") {
      if (!integer(0, 255, &n)) {
        return fail("needs a reason 0..255");
      }
      cl.refuseFinish = static_cast<std::uint8_t>(n);
    } else if (option == "--refuse-header") {
      cl.refuseHeader = true;
    } else if (option == "--cancel-upload-at") {
      if (!integer(1, 65535, &n)) {
        return fail("needs a block number 1..65535");
      }
      cl.cancelUploadAt = static_cast<std::uint16_t>(n);
    } else if (option == "--corrupt") {
      if (!take()) {
        return fail("needs P[:SEED]");
      }
      const auto [p, seed] = SplitColon(value);
      long long s = 1;
      if (!ParseDouble(p, 0, 1, &cl.corruptProbability) ||
          (seed && !ParseInt(*seed, 0, 0xFFFFFFFFLL, &s))) {
        return fail("needs P[:SEED] (P 0..1)");
      }
      cl.corruptSeed = static_cast<std::uint32_t>(s);
    } else if (option == "--pull-cable") {
      if (!take()) {
        return fail("needs AT[:FOR] in seconds");
      }
      const auto [at, duration] = SplitColon(value);
      double a = 0;
      double d = 0;
      if (!ParseDouble(at, 0, 1e7, &a) || (duration && !ParseDouble(*duration, 0, 1e7, &d))) {
        return fail("needs AT[:FOR] in seconds");
      }
      cl.pullCableAt = a;
      if (duration) {
        cl.pullCableFor = d;
      }
    } else if (option == "--restart-at") {
      double a = 0;
      if (!take() || !ParseDouble(value, 0, 1e7, &a)) {
        return fail("needs seconds");
      }
      cl.restartAt = a;
    } else if (option == "--trace") {
      cl.trace = true;
      if (inlineValue) {
        cl.traceFile = *inlineValue == "-" ? std::string() : *inlineValue;
      }
    } else if (option.starts_with("-")) {
      *error = "unknown option " + option;
      return std::nullopt;
    } else if (cl.linkPath.empty()) {
      cl.linkPath = option;
    } else {
      *error = "more than one path given: " + option;
      return std::nullopt;
    }
  }
  if (!cl.devicePath.empty() && (!cl.linkPath.empty() || cl.portNumber >= 0)) {
    *error = "--device serves a real tty; it takes no PATH and no --port";
    return std::nullopt;
  }
  return cl;
}

std::string ResolveLinkPath(const CommandLine& commandLine, const std::string& portDir) {
  if (!commandLine.linkPath.empty()) {
    return commandLine.linkPath;
  }
  if (portDir.empty()) {
    return {};
  }
  const int port = commandLine.portNumber >= 0 ? commandLine.portNumber : 1;
  std::string dir = portDir;
  if (dir.back() != '/') {
    dir += '/';
  }
  return dir + "COM" + std::to_string(port);
}

bool LoadFirmwareFile(const std::string& path, FirmwareContent* content, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot open";
    return false;
  }
  FirmwareContent loaded;
  loaded.productionData = content->productionData;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (!line.empty() && line[0] == ':') {
      std::vector<std::uint8_t> row;
      if (!ParseHexBytes(line.substr(1), 99, &row) || loaded.rows.size() >= kMaxRows) {
        *error = path + ": line " + std::to_string(number) + ": bad record";
        return false;
      }
      loaded.rows.push_back(std::move(row));
    } else {
      // The header ends at its first zero byte, so it holds at most 511 bytes of text.
      if (loaded.header.size() + line.size() + 2 > kMaxHeaderBytes - 1) {
        *error = path + ": header longer than 511 bytes";
        return false;
      }
      loaded.header.insert(loaded.header.end(), line.begin(), line.end());
      loaded.header.push_back('\r');
      loaded.header.push_back('\n');
    }
  }
  *content = std::move(loaded);
  return true;
}

std::string UsageText() {
  return R"(Usage: tavra-sim [OPTION]... [PATH]
Simulates a Tavra controller on a pseudo-terminal (or a real tty) until stopped with
Ctrl+C or SIGTERM. The pseudo-terminal's slave is published as a symlink at PATH, or at
$TAVRA_PORT_DIR/COM<n>; the symlink is removed on exit.

Where:
  --port N                publish as $TAVRA_PORT_DIR/COM<N> (default 1)
  --device PATH           serve a real tty device (null-modem cable) instead

Controller:
  --mode normal|boot      start in normal mode (default) or in the boot code
  --type N                type code in normal mode (default 3; 0: cannot be updated)
  --boot-type N           type code in the boot code (default 1)
  --version A.B.C.D       version bytes of the identity (default 1.2.3.4)
  --identity-extra N      last identity byte (default 0)
  --max-rate RATE         highest bit rate accepted (default 57600)
  --firmware FILE.TVW     firmware held (header lines and hex records)
  --no-firmware           hold no firmware (the header upload is refused)
  --serial TEXT           production data record (default SN-202-000001)
  --no-serial             hold no serial number (the production data upload is refused)
  --store FILE            keep firmware, header and production data in FILE across runs
  --answer HEX            answer transactions with these bytes instead of echoing
  --refuse-transactions   answer transactions with 0x00
  --refuse-connects       answer connect requests with 0x10
  --retransmission-time MS  wait for an acknowledgement of its own frames (default 1000)
  --retransmissions N     retransmissions of its own frames (default 3)

Line:
  --line-timing           bytes leave and arrive at the bit rate (rate/10 per second)
  --garble                garble bytes while the two sides' rates differ (default: lose them)
  --delay MS              every acknowledgement and reply waits MS milliseconds
  --corrupt P[:SEED]      corrupt each byte with probability P (seeded, default seed 1)
  --pull-cable AT[:FOR]   fall silent AT seconds after start, for FOR seconds (default: for good)
  --restart-at SECONDS    restart the controller (normal mode, 9600 bit/s)
  --trace[=FILE]          log every frame in both directions with timestamps (default stderr)

Faults:
  --drop-acks N           do not acknowledge the next N data frames
  --busy N                answer the next N data frames busy (0xA0)
  --transport-busy N      answer the next N transactions / connects busy (0x60 / 0xE0)
  --busy-every N          answer every N-th data frame to an entity busy (0xA0)
  --transport-busy-every N  answer every N-th transaction / connect busy (0x60 / 0xE0)
  --refuse-block K[:R]    refuse download block K with reason R (default 1); repeatable
  --refuse-finish R       refuse the download finish with reason R
  --refuse-header         refuse the header download
  --refuse-upload N       refuse the next N upload messages (FWUpload_NAK)
  --cancel-upload-at K    send FWUploadCancel_CMD once before upload block K

Signals: SIGUSR1 pulls the cable or puts it back, SIGUSR2 restarts the controller.
  -h, --help              show this text
)";
}

}  // namespace tavra::sim
