// tavra-sim: a simulated Tavra controller on a pseudo-terminal or a real tty.

#include <pthread.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>

#include "sim/command_line.h"
#include "sim/simulated_controller.h"

namespace {

using tavra::sim::CommandLine;
using tavra::sim::SimulatedController;

// Timed events of the command line, in seconds after start.
struct Schedule {
  std::optional<double> pullAt;
  std::optional<double> backAt;
  std::optional<double> restartAt;

  [[nodiscard]] std::optional<double> Next() const {
    std::optional<double> next;
    for (const auto& t : {pullAt, backAt, restartAt}) {
      if (t && (!next || *t < *next)) {
        next = t;
      }
    }
    return next;
  }
};

void ApplyFaults(SimulatedController& sim, const CommandLine& cl) {
  if (cl.dropAcks > 0) {
    sim.DropAcks(cl.dropAcks);
  }
  if (cl.busy > 0) {
    sim.AnswerBusy(cl.busy);
  }
  if (cl.transportBusy > 0) {
    sim.AnswerTransportBusy(cl.transportBusy);
  }
  sim.AnswerBusyEvery(cl.busyEvery);
  sim.AnswerTransportBusyEvery(cl.transportBusyEvery);
  for (const auto& [block, reason] : cl.refusedBlocks) {
    sim.RefuseDownloadBlock(block, reason);
  }
  sim.RefuseDownloadFinish(cl.refuseFinish);
  sim.RefuseHeaderDownload(cl.refuseHeader);
  if (cl.refuseUploads > 0) {
    sim.RefuseUploadMessages(cl.refuseUploads, 1);
  }
  sim.CancelUploadAtBlock(cl.cancelUploadAt);
  if (cl.corruptProbability > 0) {
    sim.CorruptBytes(cl.corruptProbability, cl.corruptSeed);
  }
}

std::string VersionText(const std::array<std::uint8_t, 4>& v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
}

// Where --trace writes: standard error, or a file. Outlives the controller that calls it.
struct TraceOutput {
  std::mutex mutex;
  std::ofstream file;
};

// Sets the trace sink; false (said why) when the file cannot be written.
bool OpenTrace(CommandLine& cl, TraceOutput& out) {
  if (!cl.trace) {
    return true;
  }
  if (!cl.traceFile.empty()) {
    out.file.open(cl.traceFile, std::ios::app);
    if (!out.file) {
      std::fprintf(stderr, "tavra-sim: cannot write the trace to %s\n", cl.traceFile.c_str());
      return false;
    }
  }
  cl.config.trace = [&out](const std::string& line) {
    std::lock_guard lock(out.mutex);
    if (out.file.is_open()) {
      out.file << line << '\n' << std::flush;
    } else {
      std::cerr << line << '\n';
    }
  };
  return true;
}

// Signals are taken by this thread alone, with sigtimedwait; every other thread (started after
// this) blocks them.
sigset_t BlockSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) {
    sigaddset(&signals, s);
  }
  // A handler of our own: a shell that starts us in the background would otherwise leave
  // SIGINT ignored, and an ignored signal never reaches sigtimedwait.
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) {
    sigaction(s, &action, nullptr);
  }
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

bool StartServing(SimulatedController& sim,
                  const CommandLine& cl,
                  const std::string& linkPath,
                  std::string* error) {
  if (!cl.devicePath.empty()) {
    return sim.OpenDevice(cl.devicePath, error);
  }
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(linkPath).parent_path();
  if (!parent.empty()) {
    std::filesystem::create_directories(parent, ec);
  }
  return sim.StartPseudoTerminal(linkPath, error);
}

void SayServing(const SimulatedController& sim,
                const CommandLine& cl,
                const std::string& linkPath) {
  const tavra::sim::SimConfig& c = cl.config;
  std::fprintf(stderr, "tavra-sim: serving %s%s%s (%s mode, type %u, version %s, up to %d bit/s)\n",
               cl.devicePath.empty() ? linkPath.c_str() : cl.devicePath.c_str(),
               cl.devicePath.empty() ? " -> " : "",
               cl.devicePath.empty() ? sim.SlavePath().c_str() : "",
               c.mode == tavra::sim::ControllerMode::BootCode ? "boot-code" : "normal",
               c.mode == tavra::sim::ControllerMode::BootCode ? c.bootType : c.normalType,
               VersionText(c.version).c_str(), c.maxBitRate);
}

// The timed events due at `now` (seconds since start), each once.
void RunDue(Schedule& schedule, double now, SimulatedController& sim, bool* silent) {
  if (schedule.pullAt && now >= *schedule.pullAt) {
    schedule.pullAt.reset();
    *silent = true;
    sim.SetSilent(true);
    std::fprintf(stderr, "tavra-sim: cable pulled\n");
  }
  if (schedule.backAt && now >= *schedule.backAt) {
    schedule.backAt.reset();
    *silent = false;
    sim.SetSilent(false);
    std::fprintf(stderr, "tavra-sim: cable back\n");
  }
  if (schedule.restartAt && now >= *schedule.restartAt) {
    schedule.restartAt.reset();
    sim.Restart();
    std::fprintf(stderr, "tavra-sim: restarted\n");
  }
}

// The signal that came within `seconds`, 0 (or -1) when none did.
int WaitForSignal(const sigset_t& signals, double seconds) {
  timespec timeout{};
  timeout.tv_sec = static_cast<time_t>(seconds);
  timeout.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
  return sigtimedwait(&signals, nullptr, &timeout);
}

// Runs the timed events and answers the signals until one says stop.
void Serve(SimulatedController& sim, const CommandLine& cl, const sigset_t& signals) {
  Schedule schedule;
  schedule.pullAt = cl.pullCableAt;
  if (cl.pullCableAt && cl.pullCableFor) {
    schedule.backAt = *cl.pullCableAt + *cl.pullCableFor;
  }
  schedule.restartAt = cl.restartAt;
  const auto start = std::chrono::steady_clock::now();
  bool silent = false;
  while (true) {
    const double now =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    RunDue(schedule, now, sim, &silent);
    double wait = 1.0;
    if (const std::optional<double> next = schedule.Next()) {
      wait = std::max(0.0, std::min(wait, *next - now));
    }
    const int s = WaitForSignal(signals, wait);
    if (s == SIGINT || s == SIGTERM || s == SIGHUP) {
      return;
    }
    if (s == SIGUSR1) {
      silent = !silent;
      sim.SetSilent(silent);
      std::fprintf(stderr, "tavra-sim: cable %s\n", silent ? "pulled" : "back");
    } else if (s == SIGUSR2) {
      sim.Restart();
      std::fprintf(stderr, "tavra-sim: restarted\n");
    }
  }
}

void SayStopped(const SimulatedController& sim) {
  if (!sim.StoreError().empty()) {
    std::fprintf(stderr, "tavra-sim: store %s\n", sim.StoreError().c_str());
  }
  const tavra::sim::SimCounters counters = sim.Counters();
  std::fprintf(stderr,
               "tavra-sim: frames accepted %u, repeated %u, busy answers %u, transport busy "
               "answers %u, acknowledgements sent %u, frames sent %u, retransmissions %u\n",
               counters.framesAccepted, counters.framesRepeated, counters.busyAnswers,
               counters.transportBusyAnswers, counters.acksSent, counters.framesSent,
               counters.retransmissions);
  std::fprintf(stderr, "tavra-sim: stopped\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  std::optional<CommandLine> parsed = tavra::sim::ParseCommandLine(args, &error);
  if (!parsed) {
    std::fprintf(stderr, "tavra-sim: %s\nTry 'tavra-sim --help'.\n", error.c_str());
    return 2;
  }
  CommandLine& cl = *parsed;
  if (cl.help) {
    std::fputs(tavra::sim::UsageText().c_str(), stdout);
    return 0;
  }
  if (!cl.firmwareFile.empty() &&
      !tavra::sim::LoadFirmwareFile(cl.firmwareFile, &cl.config.firmware, &error)) {
    std::fprintf(stderr, "tavra-sim: %s\n", error.c_str());
    return 1;
  }
  const char* portDir = std::getenv("TAVRA_PORT_DIR");
  const std::string linkPath =
      cl.devicePath.empty() ? tavra::sim::ResolveLinkPath(cl, portDir != nullptr ? portDir : "")
                            : std::string();
  if (cl.devicePath.empty() && linkPath.empty()) {
    std::fprintf(stderr,
                 "tavra-sim: no place to publish the port: give a PATH or set TAVRA_PORT_DIR\n"
                 "Try 'tavra-sim --help'.\n");
    return 2;
  }
  TraceOutput traceOutput;
  if (!OpenTrace(cl, traceOutput)) {
    return 1;
  }
  const sigset_t signals = BlockSignals();

  SimulatedController sim(cl.config);
  if (!sim.StoreError().empty()) {
    std::fprintf(stderr, "tavra-sim: store %s\n", sim.StoreError().c_str());
    return 1;
  }
  ApplyFaults(sim, cl);
  if (!StartServing(sim, cl, linkPath, &error)) {
    std::fprintf(stderr, "tavra-sim: %s\n", error.c_str());
    return 1;
  }
  SayServing(sim, cl, linkPath);
  Serve(sim, cl, signals);
  sim.Stop();
  SayStopped(sim);
  return 0;
}
