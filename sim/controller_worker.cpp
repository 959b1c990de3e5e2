// The simulated controller's worker: it starts and stops the threads, takes the host's bytes
// from the inbox, runs the timers and sends the controller's own frames.

#include <algorithm>
#include <filesystem>
#include <utility>

#include "sim/simulated_controller_impl.h"

namespace tavra::sim {

namespace {

// The firmware the controller starts with: the store's when there is a readable one. A store
// that is not there yet is written at start; one that cannot be read is reported and left alone.
FirmwareContent InitialFirmware(const SimConfig& cfg,
                                bool* storeNew,
                                bool* storeWritable,
                                std::string* storeError) {
  if (cfg.storePath.empty()) {
    return cfg.firmware;
  }
  std::error_code ec;
  if (!std::filesystem::exists(cfg.storePath, ec)) {
    *storeNew = true;
    return cfg.firmware;
  }
  FirmwareContent stored;
  if (std::string why; !LoadStore(cfg.storePath, &stored, &why)) {
    *storeError = why;
    *storeWritable = false;
    return cfg.firmware;
  }
  return stored;
}

}  // namespace

SimulatedController::Impl::Impl(SimConfig config)
    : cfg(std::move(config)),
      parser(*this),
      firmware(FirmwareContent{}),
      start(SimClock::now()),
      own(cfg.retransmissionTimeMs,
          cfg.retransmissions,
          [this](std::vector<std::uint8_t> bytes, SimClock::time_point due) {
            return SendOwn(std::move(bytes), due);
          }),
      inbox(std::make_shared<Inbox>()) {
  mode = cfg.mode;
  transport.SetTransactionPolicy(cfg.transactionPolicy, cfg.transactionAnswer);
  transport.SetConnectPolicy(cfg.connectPolicy);
  firmware.SetContent(InitialFirmware(cfg, &storeNew, &storeWritable, &storeError));
  (void)firmware.TakeChanged();
  writer.SetGarble(cfg.garbleOnRateMismatch);
  writer.SetPacing(cfg.emulateLineTiming);
  inbox->SetLineTiming(cfg.emulateLineTiming);
  traces.SetSink(cfg.trace);
}

bool SimulatedController::Impl::Start(std::unique_ptr<SerialLine> newLine) {
  line = std::move(newLine);
  if (storeNew) {
    SaveStoreLocked();
  }
  worker = std::thread([this] { WorkerLoop(); });
  writer.Start(*line);
  return true;
}

void SimulatedController::Impl::Stop() {
  inbox->Close();
  writer.Stop();
  if (worker.joinable()) {
    worker.join();
  }
  if (line) {
    line->Stop();
  }
  changed.Bump();
}

void SimulatedController::Impl::WorkerLoop() {
  std::vector<Inbox::Item> items;
  while (true) {
    std::optional<SimClock::time_point> deadline;
    {
      std::lock_guard lock(mutex);
      deadline = NextDeadline();
    }
    if (!inbox->Take(&items, deadline)) {
      return;
    }
    {
      std::lock_guard lock(mutex);
      for (Inbox::Item& item : items) {
        HandleBytes(item);
      }
      HandleTimers(SimClock::now());
      own.Pump(ReplyDue());
    }
    items.clear();
    traces.Drain();
    changed.Bump();
  }
}

void SimulatedController::Impl::HandleTimers(SimClock::time_point now) {
  if (own.Expired(now)) {
    // A host that already runs at the agreed rate cannot hear the answer any more.
    const bool unheard = own.Awaits(OwnFrames::After::ApplyPendingRate) && HostAtPendingRate();
    AfterOwnFrame(own.OnExpiry(unheard));
  }
  SuperviseHost(now);
}

std::optional<SimClock::time_point> SimulatedController::Impl::NextDeadline() const {
  std::optional<SimClock::time_point> next = own.Deadline(SimClock::now());
  if (const std::optional<SimClock::time_point> t = SupervisionDeadline()) {
    next = next ? std::min(*next, *t) : t;
  }
  return next;
}

SimClock::time_point SimulatedController::Impl::ReplyDue() const {
  return SimClock::now() + std::chrono::milliseconds(std::max(cfg.replyDelayMs, 0));
}

SimClock::time_point SimulatedController::Impl::SendOwn(std::vector<std::uint8_t> bytes,
                                                        SimClock::time_point due) {
  const SimClock::duration onLine =
      cfg.emulateLineTiming ? LineTime(bytes.size(), rate) : SimClock::duration::zero();
  writer.Queue(std::move(bytes), due, rate);
  return due + onLine;
}

void SimulatedController::Impl::AfterOwnFrame(OwnFrames::After after) {
  // The rate agreed on applies once its answer has gone, acknowledged or not.
  if (after == OwnFrames::After::ApplyPendingRate) {
    ApplyPendingRate();
  }
}

void SimulatedController::Impl::SaveStoreLocked() {
  if (cfg.storePath.empty() || !storeWritable) {
    return;
  }
  std::string why;
  if (!SaveStore(cfg.storePath, firmware.Content(), &why)) {
    storeError = why;
  }
}

}  // namespace tavra::sim
