#include "sim/command_line_options.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <utility>
#include <vector>

#include "shared/hex_text.h"

namespace tavra::sim {

namespace {

using Value = std::optional<std::string>;

// Decimal, or hex after "0x".
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

template <typename T>
bool SetInt(const std::string& text, long long low, long long high, T* out) {
  long long value = 0;
  if (!ParseInt(text, low, high, &value)) {
    return false;
  }
  *out = static_cast<T>(value);
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

// "A:B" -> A and optional B.
std::pair<std::string, std::optional<std::string>> SplitColon(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) {
    return {text, std::nullopt};
  }
  return {text.substr(0, colon), text.substr(colon + 1)};
}

// A path or file name: not empty.
bool SetText(const std::string& text, std::string* out) {
  if (text.empty()) {
    return false;
  }
  *out = text;
  return true;
}

bool SetVersion(const std::string& text, std::array<std::uint8_t, 4>* version) {
  std::size_t start = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const std::size_t dot = text.find('.', start);
    const std::string part = text.substr(start, dot == std::string::npos ? dot : dot - start);
    if (!SetInt(part, 0, 255, &(*version)[k]) || (k < 3) == (dot == std::string::npos)) {
      return false;
    }
    start = dot + 1;
  }
  return true;
}

bool SetAnswer(const std::string& text, SimConfig* cfg) {
  std::vector<std::uint8_t> bytes;
  if (!ParseHex(text, 1020, &bytes)) {
    return false;
  }
  cfg->transactionPolicy = TransactionPolicy::Fixed;
  cfg->transactionAnswer = bytes;
  return true;
}

bool AddRefusedBlock(const std::string& text, CommandLine* cl) {
  const auto [block, reason] = SplitColon(text);
  std::uint16_t b = 0;
  std::uint8_t r = 1;
  if (!SetInt(block, 1, 65535, &b) || (reason && !SetInt(*reason, 0, 255, &r))) {
    return false;
  }
  cl->refusedBlocks.emplace_back(b, r);
  return true;
}

bool SetCorruption(const std::string& text, CommandLine* cl) {
  const auto [p, seed] = SplitColon(text);
  cl->corruptSeed = 1;
  return ParseDouble(p, 0, 1, &cl->corruptProbability) &&
         (!seed || SetInt(*seed, 0, 0xFFFFFFFFLL, &cl->corruptSeed));
}

bool SetPullCable(const std::string& text, CommandLine* cl) {
  const auto [at, duration] = SplitColon(text);
  double a = 0;
  double d = 0;
  if (!ParseDouble(at, 0, 1e7, &a) || (duration && !ParseDouble(*duration, 0, 1e7, &d))) {
    return false;
  }
  cl->pullCableAt = a;
  if (duration) {
    cl->pullCableFor = d;
  }
  return true;
}

bool SetSeconds(const std::string& text, std::optional<double>* out) {
  double seconds = 0;
  if (!ParseDouble(text, 0, 1e7, &seconds)) {
    return false;
  }
  *out = seconds;
  return true;
}

constexpr Argument kFlag = Argument::None;
constexpr Argument kValue = Argument::Required;

// In the order of the usage text.
constexpr Option kOptions[] = {
    {"Where:", "--port", kValue, "N", "publish as $TAVRA_PORT_DIR/COM<N> (default 1)",
     "needs a COM port number 0..9", "",
     [](CommandLine& cl, const Value& v) { return SetInt(*v, 0, 9, &cl.portNumber); }},
    {"", "--device", kValue, "PATH", "serve a real tty device (null-modem cable) instead",
     "needs a device path", "",
     [](CommandLine& cl, const Value& v) { return SetText(*v, &cl.devicePath); }},

    {"Controller:", "--mode", kValue, "normal|boot",
     "start in normal mode (default) or in the boot code", "is 'normal' or 'boot'", "",
     [](CommandLine& cl, const Value& v) {
       if (*v != "normal" && *v != "boot") {
         return false;
       }
       cl.config.mode = *v == "boot" ? ControllerMode::BootCode : ControllerMode::Normal;
       return true;
     }},
    {"", "--type", kValue, "N", "type code in normal mode (default 3; 0: cannot be updated)",
     "needs a number 0..255", "",
     [](CommandLine& cl, const Value& v) { return SetInt(*v, 0, 255, &cl.config.normalType); }},
    {"", "--boot-type", kValue, "N", "type code in the boot code (default 1)",
     "needs a number 0..255", "",
     [](CommandLine& cl, const Value& v) { return SetInt(*v, 0, 255, &cl.config.bootType); }},
    {"", "--version", kValue, "A.B.C.D", "version bytes of the identity (default 1.2.3.4)",
     "needs A.B.C.D", "needs four numbers 0..255 as A.B.C.D",
     [](CommandLine& cl, const Value& v) { return SetVersion(*v, &cl.config.version); }},
    {"", "--identity-extra", kValue, "N", "last identity byte (default 0)", "needs a number 0..255",
     "",
     [](CommandLine& cl, const Value& v) { return SetInt(*v, 0, 255, &cl.config.identityExtra); }},
    {"", "--max-rate", kValue, "RATE", "highest bit rate accepted (default 57600)",
     "needs a bit rate (9600, 19200, 38400 or 57600)", "",
     [](CommandLine& cl, const Value& v) {
       return SetInt(*v, 9600, 115200, &cl.config.maxBitRate);
     }},
    {"", "--firmware", kValue, "FILE.TVW", "firmware held (header lines and hex records)",
     "needs a *.TVW file", "",
     [](CommandLine& cl, const Value& v) { return SetText(*v, &cl.firmwareFile); }},
    {"", "--no-firmware", kFlag, "", "hold no firmware (the header upload is refused)", "", "",
     [](CommandLine& cl, const Value&) {
       cl.config.firmware.header.clear();
       cl.config.firmware.rows.clear();
       return true;
     }},
    {"", "--serial", kValue, "TEXT", "production data record (default SN-202-000001)",
     "needs a text of at most 256 characters", "",
     [](CommandLine& cl, const Value& v) {
       if (v->size() > kMaxProductionBytes) {
         return false;
       }
       cl.config.firmware.productionData = std::vector<std::uint8_t>(v->begin(), v->end());
       return true;
     }},
    {"", "--no-serial", kFlag, "", "hold no serial number (the production data upload is refused)",
     "", "",
     [](CommandLine& cl, const Value&) {
       cl.config.firmware.productionData.reset();
       return true;
     }},
    {"", "--store", kValue, "FILE", "keep firmware, header and production data in FILE across runs",
     "needs a file", "",
     [](CommandLine& cl, const Value& v) { return SetText(*v, &cl.config.storePath); }},
    {"", "--answer", kValue, "HEX", "answer transactions with these bytes instead of echoing",
     "needs hex bytes (at most 1020)", "",
     [](CommandLine& cl, const Value& v) { return SetAnswer(*v, &cl.config); }},
    {"", "--refuse-transactions", kFlag, "", "answer transactions with 0x00", "", "",
     [](CommandLine& cl, const Value&) {
       cl.config.transactionPolicy = TransactionPolicy::Refuse;
       return true;
     }},
    {"", "--refuse-connects", kFlag, "", "answer connect requests with 0x10", "", "",
     [](CommandLine& cl, const Value&) {
       cl.config.connectPolicy = ConnectPolicy::Refuse;
       return true;
     }},
    {"", "--retransmission-time", kValue, "MS",
     "wait for an acknowledgement of its own frames (default 1000)", "needs milliseconds 1..60000",
     "",
     [](CommandLine& cl, const Value& v) {
       return SetInt(*v, 1, 60000, &cl.config.retransmissionTimeMs);
     }},
    {"", "--retransmissions", kValue, "N", "retransmissions of its own frames (default 3)",
     "needs a number 0..100", "",
     [](CommandLine& cl, const Value& v) {
       return SetInt(*v, 0, 100, &cl.config.retransmissions);
     }},

    {"Line:", "--line-timing", kFlag, "",
     "bytes leave and arrive at the bit rate (rate/10 per second)", "", "",
     [](CommandLine& cl, const Value&) {
       cl.config.emulateLineTiming = true;
       return true;
     }},
    {"", "--garble", kFlag, "",
     "garble bytes while the two sides' rates differ (default: lose them)", "", "",
     [](CommandLine& cl, const Value&) {
       cl.config.garbleOnRateMismatch = true;
       return true;
     }},
    {"", "--delay", kValue, "MS", "every acknowledgement and reply waits MS milliseconds",
     "needs milliseconds 0..60000", "",
     [](CommandLine& cl, const Value& v) { return SetInt(*v, 0, 60000, &cl.config.replyDelayMs); }},
    {"", "--corrupt", kValue, "P[:SEED]",
     "corrupt each byte with probability P (seeded, default seed 1)", "needs P[:SEED]",
     "needs P[:SEED] (P 0..1)",
     [](CommandLine& cl, const Value& v) { return SetCorruption(*v, &cl); }},
    {"", "--pull-cable", kValue, "AT[:FOR]",
     "fall silent AT seconds after start, for FOR seconds (default: for good)",
     "needs AT[:FOR] in seconds", "",
     [](CommandLine& cl, const Value& v) { return SetPullCable(*v, &cl); }},
    {"", "--restart-at", kValue, "SECONDS", "restart the controller (normal mode, 9600 bit/s)",
     "needs seconds", "",
     [](CommandLine& cl, const Value& v) { return SetSeconds(*v, &cl.restartAt); }},
    {"", "--trace", Argument::Inline, "[=FILE]",
     "log every frame in both directions with timestamps (default stderr)", "", "",
     [](CommandLine& cl, const Value& v) {
       cl.trace = true;
       if (v) {
         cl.traceFile = *v == "-" ? std::string() : *v;
       }
       return true;
     }},

    {"Faults:", "--drop-acks", kValue, "N", "do not acknowledge the next N data frames",
     "needs a count", "",
     [](CommandLine& cl, const Value& v) { return SetInt(*v, 0, 1000000, &cl.dropAcks); }},
    {"", "--busy", kValue, "N", "answer the next N data frames busy (0xA0)", "needs a count", "",
     [](CommandLine& cl, const Value& v) { return SetInt(*v, 0, 1000000, &cl.busy); }},
    {"", "--transport-busy", kValue, "N",
     "answer the next N transactions / connects busy (0x60 / 0xE0)", "needs a count", "",
     [](CommandLine& cl, const Value& v) { return SetInt(*v, 0, 1000000, &cl.transportBusy); }},
    {"", "--busy-every", kValue, "N", "answer every N-th data frame to an entity busy (0xA0)",
     "needs a count (0: off)", "",
     [](CommandLine& cl, const Value& v) { return SetInt(*v, 0, 1000000, &cl.busyEvery); }},
    {"", "--transport-busy-every", kValue, "N",
     "answer every N-th transaction / connect busy (0x60 / 0xE0)", "needs a count (0: off)", "",
     [](CommandLine& cl, const Value& v) {
       return SetInt(*v, 0, 1000000, &cl.transportBusyEvery);
     }},
    {"", "--refuse-block", kValue, "K[:R]",
     "refuse download block K with reason R (default 1); repeatable", "needs BLOCK[:REASON]",
     "needs BLOCK[:REASON] (block 1..65535, reason 0..255)",
     [](CommandLine& cl, const Value& v) { return AddRefusedBlock(*v, &cl); }},
    {"", "--refuse-finish", kValue, "R", "refuse the download finish with reason R",
     "needs a reason 0..255", "",
     [](CommandLine& cl, const Value& v) {
       std::uint8_t reason = 0;
       if (!SetInt(*v, 0, 255, &reason)) {
         return false;
       }
       cl.refuseFinish = reason;
       return true;
     }},
    {"", "--refuse-header", kFlag, "", "refuse the header download", "", "",
     [](CommandLine& cl, const Value&) {
       cl.refuseHeader = true;
       return true;
     }},
    {"", "--refuse-upload", kValue, "N", "refuse the next N upload messages (FWUpload_NAK)",
     "needs a count", "",
     [](CommandLine& cl, const Value& v) { return SetInt(*v, 0, 1000000, &cl.refuseUploads); }},
    {"", "--cancel-upload-at", kValue, "K", "send FWUploadCancel_CMD once before upload block K",
     "needs a block number 1..65535", "",
     [](CommandLine& cl, const Value& v) { return SetInt(*v, 1, 65535, &cl.cancelUploadAt); }},

    {"Signals: SIGUSR1 pulls the cable or puts it back, SIGUSR2 restarts the controller.",
     "-h, --help", kFlag, "", "show this text", "", "",
     [](CommandLine& cl, const Value&) {
       cl.help = true;
       return true;
     }},
};

}  // namespace

std::span<const Option> CommandLineOptions() {
  return kOptions;
}

}  // namespace tavra::sim
