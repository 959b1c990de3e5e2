#include "cl4_harness_support.h"

#include <gtest/gtest.h>

#include "server/stack/server_settings.h"
#include "shared/result_codes.h"

namespace tavra::stack::testing {

void IndicationRecorder::Add(L4Indication&& item) {
  {
    std::lock_guard lock(m_mutex);
    m_items.push_back(std::move(item));
  }
  m_cv.notify_all();
}

std::vector<L4Indication> IndicationRecorder::Items() const {
  std::lock_guard lock(m_mutex);
  return m_items;
}

std::vector<L4Indication> IndicationRecorder::Of(std::int32_t clientId, L4Kind kind) const {
  std::lock_guard lock(m_mutex);
  std::vector<L4Indication> out;
  for (const L4Indication& item : m_items) {
    if (item.clientId == clientId && item.kind == kind) {
      out.push_back(item);
    }
  }
  return out;
}

std::size_t IndicationRecorder::Count(const std::function<bool(const L4Indication&)>& match) const {
  std::lock_guard lock(m_mutex);
  std::size_t n = 0;
  for (const L4Indication& item : m_items) {
    n += match(item) ? 1 : 0;
  }
  return n;
}

std::vector<L4Indication> IndicationRecorder::WaitFor(
    const std::function<bool(const L4Indication&)>& match,
    std::size_t count,
    std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_mutex);
  std::vector<L4Indication> found;
  m_cv.wait_for(lock, timeout, [&] {
    found.clear();
    for (const L4Indication& item : m_items) {
      if (match(item)) {
        found.push_back(item);
      }
    }
    return found.size() >= count;
  });
  return found;
}

std::optional<L4Indication> IndicationRecorder::WaitOne(std::int32_t clientId,
                                                        L4Kind kind,
                                                        std::chrono::milliseconds timeout) const {
  auto found = WaitFor(
      [&](const L4Indication& i) { return i.clientId == clientId && i.kind == kind; }, 1, timeout);
  if (found.empty()) {
    return std::nullopt;
  }
  return found.front();
}

std::size_t IndicationRecorder::Size() const {
  std::lock_guard lock(m_mutex);
  return m_items.size();
}

ShortTimings::ShortTimings(std::int32_t noResponseFromClientMs) {
  SettingsRecord& s = ServerSettings();
  s.ResetToDefaults();
  s.Set(Setting::PreferredBitRate, 9600);  // no bit-rate negotiation (and no 200 ms pauses)
  s.Set(Setting::TimeBetweenConnectAttempts, 100);
  s.Set(Setting::L2_RetransmissionTime, 200);
  s.Set(Setting::L2_NoActivityTime, 400);
  s.Set(Setting::L4_NoResponseFromClientTimeout, noResponseFromClientMs);
}

ShortTimings::~ShortTimings() {
  ServerSettings().ResetToDefaults();
}

Cl4Harness::Cl4Harness(sim::SimConfig config, bool start) {
  auto port = std::make_unique<SimulatedSerialPort>();
  m_port = port.get();
  m_sim = std::make_unique<sim::SimulatedController>(std::move(config));
  EXPECT_TRUE(m_sim->AttachTo(*m_port));
  m_l4 = std::make_unique<CL4>(std::move(port));
  if (start) {
    EXPECT_EQ(Start(), kOk);
    EXPECT_TRUE(WaitLinkUp());
  }
}

Cl4Harness::~Cl4Harness() {
  m_sim->Stop();
  m_l4.reset();
}

Result Cl4Harness::Start() {
  return m_l4->Start(3, [this](L4Indication&& item) { m_items.Add(std::move(item)); });
}

bool Cl4Harness::WaitLinkUp(std::chrono::milliseconds timeout) {
  return m_sim->WaitUntil([this] { return m_l4->IsLinkUp(); }, timeout);
}

bool Cl4Harness::WaitLinkDown(std::chrono::milliseconds timeout) {
  return m_sim->WaitUntil([this] { return !m_l4->IsLinkUp(); }, timeout);
}

std::int32_t Cl4Harness::AddClient() {
  std::int32_t key = 0;
  EXPECT_EQ(m_l4->AddClient(key), kOk);
  return key;
}

std::int32_t Cl4Harness::TransportNumber(std::int32_t key) {
  ManagementOutput out;
  EXPECT_EQ(m_l4->Management(key, CLIENT_INDEX, out), kOk);
  return out.result;
}

std::uint8_t Cl4Harness::LinkAddress(std::int32_t key) {
  ManagementOutput out;
  EXPECT_EQ(m_l4->Management(key, CLIENT_ADDRESS, out), kOk);
  EXPECT_EQ(out.data.size(), 4U);
  return out.data.empty() ? 0 : static_cast<std::uint8_t>(out.data[0] + 0x20);
}

std::vector<sim::ObservedPdu> Cl4Harness::PdusOfType(std::uint8_t type) const {
  std::vector<sim::ObservedPdu> out;
  for (sim::ObservedPdu& pdu : m_sim->TransportPdus()) {
    if (pdu.type == type) {
      out.push_back(std::move(pdu));
    }
  }
  return out;
}

bool Cl4Harness::WaitPdus(std::uint8_t type, std::size_t count, std::chrono::milliseconds timeout) {
  return m_sim->WaitUntil([&] { return PdusOfType(type).size() >= count; }, timeout);
}

std::vector<Bytes> Cl4Harness::TransportFrames() const {
  std::vector<Bytes> out;
  for (sim::ObservedFrame& frame : m_sim->FramesReceived()) {
    if (frame.destination == 0x21 && frame.source == 0x21) {
      out.push_back(std::move(frame.data));
    }
  }
  return out;
}

void Cl4Harness::InjectPdu(const Bytes& pdu) {
  m_sim->SendFrame(0x21, 0x21, pdu);
}

std::int32_t Cl4Harness::Connect(std::int32_t key,
                                 std::int32_t rxId,
                                 std::int32_t requestId,
                                 const L4Backoff& backoff) {
  const std::size_t before = m_items.Count([&](const L4Indication& i) {
    return i.clientId == key && i.kind == L4Kind::ConnectConfirm && i.a == requestId;
  });
  EXPECT_EQ(m_l4->ConnectRequest(key, requestId, rxId, 0, nullptr, backoff), kOk);
  const auto confirms = m_items.WaitFor(
      [&](const L4Indication& i) {
        return i.clientId == key && i.kind == L4Kind::ConnectConfirm && i.a == requestId;
      },
      before + 1);
  if (confirms.size() < before + 1) {
    ADD_FAILURE() << "no Connect_Confirm";
    return -1;
  }
  EXPECT_EQ(confirms.back().b, 0);
  return confirms.back().c;
}

}  // namespace tavra::stack::testing
