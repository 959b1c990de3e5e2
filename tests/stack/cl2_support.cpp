#include "cl2_support.h"

#include <algorithm>

#include "server/stack/frame_codec.h"
#include "server/stack/server_settings.h"

namespace tavra::stack::cl2test {

namespace {

constexpr std::uint8_t kStxByte = 0x02;
constexpr std::uint8_t kEtxByte = 0x03;
constexpr std::uint8_t kDleByte = 0x10;

}  // namespace

std::optional<HostWrite> DecodeHostWrite(std::span<const std::uint8_t> bytes) {
  HostWrite w;
  if (bytes.size() < 3 || bytes[0] != kStxByte) {
    return std::nullopt;
  }
  if (bytes.size() == 3) {
    w.isAck = true;
    w.ackByte = bytes[1];
    w.checkOk = bytes[2] == static_cast<std::uint8_t>(bytes[1] + kStxByte);
    return w;
  }
  if (bytes.size() < 6 || bytes[1] < 0x20 || bytes[1] > 0x3F) {
    return std::nullopt;
  }
  w.sequence = bytes[1] & 0x1F;
  w.destination = bytes[2];
  w.source = bytes[3];
  auto sum = static_cast<std::uint8_t>(kStxByte + bytes[1] + bytes[2] + bytes[3]);
  std::size_t i = 4;
  for (;;) {
    if (i >= bytes.size()) {
      return std::nullopt;
    }
    std::uint8_t b = bytes[i++];
    if (b == kEtxByte) {
      sum = static_cast<std::uint8_t>(sum + kEtxByte);
      break;
    }
    if (b == kDleByte) {
      if (i >= bytes.size()) {
        return std::nullopt;
      }
      b = bytes[i++];
      if (b != kStxByte && b != kEtxByte && b != kDleByte) {
        return std::nullopt;
      }
    } else if (b == kStxByte) {
      return std::nullopt;  // an unescaped STX never appears in what the host writes
    }
    sum = static_cast<std::uint8_t>(sum + b);
    w.data.push_back(b);
  }
  if (i + 1 != bytes.size()) {
    return std::nullopt;
  }
  w.checkOk = bytes[i] == sum;
  return w;
}

// ---------------------------------------------------------------------------------------------

ScriptedFarEnd::ScriptedFarEnd(SimulatedSerialPort& port) : m_port(port) {
  m_port.SetFarEnd(
      [this](std::span<const std::uint8_t> bytes, int bitRate) { OnWrite(bytes, bitRate); });
}

// The port (owned by CL2) is gone or silent by now: CL2 is destroyed first.
ScriptedFarEnd::~ScriptedFarEnd() = default;

void ScriptedFarEnd::SetAckRule(AckRule rule) {
  std::lock_guard lock(m_mutex);
  m_rule = std::move(rule);
}

void ScriptedFarEnd::SetRefusedRates(std::set<int> rates) {
  std::lock_guard lock(m_mutex);
  m_refusedRates = std::move(rates);
}

void ScriptedFarEnd::SetConnectRefused(bool refused) {
  std::lock_guard lock(m_mutex);
  m_connectRefused = refused;
}

void ScriptedFarEnd::SetIdentity(std::array<std::uint8_t, 6> identity) {
  std::lock_guard lock(m_mutex);
  m_identity = identity;
}

void ScriptedFarEnd::HoldWrites(bool hold) {
  std::lock_guard lock(m_mutex);
  m_hold = hold;
  m_changed.notify_all();
}

void ScriptedFarEnd::SendToHost(std::uint8_t destination,
                                std::uint8_t source,
                                std::span<const std::uint8_t> data,
                                std::optional<std::uint8_t> sequence) {
  std::uint8_t seq = 0;
  {
    std::lock_guard lock(m_mutex);
    m_ownSequence = static_cast<std::uint8_t>((m_ownSequence + 1) & 0x1F);
    seq = sequence.value_or(m_ownSequence);
  }
  const auto frame =
      EncodeDataFrame(static_cast<std::uint8_t>(0x20 + seq), destination, source, data);
  m_port.InjectReceived(frame);
}

void ScriptedFarEnd::OnWrite(std::span<const std::uint8_t> bytes, int bitRate) {
  auto decoded = DecodeHostWrite(bytes);
  AckRule rule;
  int attempt = 0;
  {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(5), [this] { return !m_hold; });
    if (!decoded) {
      ++m_malformed;
      m_changed.notify_all();
      return;
    }
    decoded->bitRate = bitRate;
    decoded->at = Clock::now();
    m_writes.push_back(*decoded);
    m_changed.notify_all();
    if (decoded->isAck || !decoded->checkOk) {
      return;
    }
    const bool same = m_previous && m_previous->sequence == decoded->sequence &&
                      m_previous->destination == decoded->destination &&
                      m_previous->data == decoded->data;
    m_attempt = same ? m_attempt + 1 : 1;
    m_previous = *decoded;
    attempt = m_attempt;
    rule = m_rule;
  }
  const AckAction action = rule ? rule(*decoded, attempt) : AckAction::Accept;
  Answer(*decoded, action);
}

void ScriptedFarEnd::Answer(const HostWrite& frame, AckAction action) {
  std::uint8_t ack = 0;
  switch (action) {
    case AckAction::NoAck: return;
    case AckAction::Accept: ack = static_cast<std::uint8_t>(0x40 | frame.sequence); break;
    case AckAction::WrongSequence:
      ack = static_cast<std::uint8_t>(0x40 | ((frame.sequence + 1) & 0x1F));
      break;
    case AckAction::Busy: ack = static_cast<std::uint8_t>(0xA0 | frame.sequence); break;
    case AckAction::NoSuchAddress: ack = static_cast<std::uint8_t>(0x80 | frame.sequence); break;
    case AckAction::TooLong: ack = static_cast<std::uint8_t>(0xC0 | frame.sequence); break;
  }
  const auto ackFrame = EncodeAckFrame(ack);
  m_port.InjectReceived(ackFrame);
  if (action != AckAction::Accept) {
    return;
  }
  std::vector<std::uint8_t> reply;
  {
    std::lock_guard lock(m_mutex);
    // A repeated frame (same sequence number) is acknowledged again but not handled twice.
    const bool repeated = m_lastSequenceHandled == frame.sequence;
    m_lastSequenceHandled = frame.sequence;
    if (repeated || frame.destination != 0x20) {
      return;
    }
    reply = ManagementReply(frame);
  }
  if (!reply.empty()) {
    SendToHost(0x20, 0x20, reply);
  }
}

std::vector<std::uint8_t> ScriptedFarEnd::ManagementReply(const HostWrite& frame) {
  if (frame.data.empty()) {
    return {};
  }
  const std::uint8_t command = frame.data[0];
  switch (command) {
    case kCmdConnect:
    case kCmdConnectBoot:
      return {static_cast<std::uint8_t>(m_connectRefused ? 0x00 | command : 0x20 | command)};
    case kCmdIdentify: {
      std::vector<std::uint8_t> reply{0x20};
      for (int i = 0; i < 13; ++i) {
        reply.push_back(static_cast<std::uint8_t>(0x61 + i));
      }
      reply.insert(reply.end(), m_identity.begin(), m_identity.end());
      return reply;
    }
    case kCmdSetBitRate: {
      static constexpr std::array<int, 4> kRates{0, 19200, 38400, 57600};
      const int code = frame.data.size() > 1 ? frame.data[1] : 0;
      const int rate = code >= 1 && code <= 3 ? kRates[code] : 0;
      const bool accepted = rate != 0 && !m_refusedRates.contains(rate);
      return {static_cast<std::uint8_t>(accepted ? 0x24 : 0x84)};
    }
    default: return {};
  }
}

std::vector<HostWrite> ScriptedFarEnd::Writes() const {
  std::lock_guard lock(m_mutex);
  return m_writes;
}

std::vector<HostWrite> ScriptedFarEnd::DataFrames() const {
  std::vector<HostWrite> out;
  for (const auto& w : Writes()) {
    if (!w.isAck) {
      out.push_back(w);
    }
  }
  return out;
}

std::vector<HostWrite> ScriptedFarEnd::ManagementFrames(std::uint8_t command) const {
  std::vector<HostWrite> out;
  for (const auto& w : Writes()) {
    if (w.IsManagement(command)) {
      out.push_back(w);
    }
  }
  return out;
}

std::vector<HostWrite> ScriptedFarEnd::FramesWithPayload(std::span<const std::uint8_t> data) const {
  std::vector<HostWrite> out;
  for (const auto& w : Writes()) {
    if (!w.isAck && std::equal(w.data.begin(), w.data.end(), data.begin(), data.end())) {
      out.push_back(w);
    }
  }
  return out;
}

int ScriptedFarEnd::MalformedWrites() const {
  std::lock_guard lock(m_mutex);
  return m_malformed;
}

bool ScriptedFarEnd::WaitFor(const std::function<bool(const std::vector<HostWrite>&)>& pred,
                             milliseconds timeout) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return pred(m_writes); });
}

// ---------------------------------------------------------------------------------------------

void MessageLog::Drain() {
  while (auto m = queue.Pop()) {
    m_all.push_back(std::move(*m));
  }
}

bool MessageLog::WaitFor(const std::function<bool(const std::vector<L2Message>&)>& pred,
                         milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    Drain();
    if (pred(m_all)) {
      return true;
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      return false;
    }
    // Woken by every upward message; conditions on the link layer's state alone (which
    // changes without a message) are looked at again at least every 20 ms.
    signal.Wait(
        std::min(milliseconds(20),
                 std::chrono::duration_cast<milliseconds>(deadline - now) + milliseconds(1)));
  }
}

std::vector<L2Message> MessageLog::All() {
  Drain();
  return m_all;
}

int MessageLog::Count(const std::vector<L2Message>& messages,
                      std::int32_t kind,
                      std::int32_t code) {
  return static_cast<int>(std::count_if(messages.begin(), messages.end(), [&](const auto& m) {
    return m.kind == kind && (code == -1 || m.code == code);
  }));
}

// ---------------------------------------------------------------------------------------------

void Cl2Test::SetUp() {
  ServerSettings().ResetToDefaults();
  ServerSettings().Set(Setting::L2_RetransmissionTime, 60);
  ServerSettings().Set(Setting::TimeBetweenConnectAttempts, 100);
  m_portOwner = std::make_unique<SimulatedSerialPort>();
  m_port = m_portOwner.get();
  // The driver's pause before a rate change is the driver's business, not the link layer's.
  m_port->SetSkipBitRatePause(true);
  m_farEnd = std::make_unique<ScriptedFarEnd>(*m_port);
  m_log = std::make_unique<MessageLog>();
}

void Cl2Test::TearDown() {
  if (m_farEnd) {
    m_farEnd->HoldWrites(false);
  }
  m_cl2.reset();  // joins the link threads before the far end goes
  m_farEnd.reset();
  m_portOwner.reset();
  m_log.reset();
  ServerSettings().ResetToDefaults();
}

void Cl2Test::Start(bool open) {
  m_cl2 = std::make_unique<CL2>(std::move(m_portOwner), m_portTable);
  if (!open) {
    return;
  }
  ASSERT_EQ(m_cl2->Open(3, &m_log->signal, &m_log->queue), kOk);
  ASSERT_EQ(m_cl2->RegisterTransport(m_transportKey), kOk);
  ASSERT_EQ(m_transportKey, kKeyTransport);
}

std::vector<std::int32_t> Cl2Test::StartWithClients(int n) {
  m_farEnd->HoldWrites(true);
  Start();
  std::vector<std::int32_t> keys;
  keys.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    keys.push_back(AddClient());
  }
  m_farEnd->HoldWrites(false);
  return keys;
}

bool Cl2Test::WaitLinkUp(milliseconds timeout) {
  return m_log->WaitFor([this](const auto&) { return m_cl2->IsLinkUp(); }, timeout);
}

bool Cl2Test::WaitLinkDown(milliseconds timeout) {
  return m_log->WaitFor([this](const auto&) { return !m_cl2->IsLinkUp(); }, timeout);
}

std::int32_t Cl2Test::AddClient() {
  std::int32_t key = 0;
  EXPECT_EQ(m_cl2->RegisterClient(key), kOk);
  return key;
}

std::unique_ptr<L2Job> Cl2Test::Job(std::int32_t key,
                                    std::int32_t cookie,
                                    std::vector<std::uint8_t> data,
                                    std::int32_t destination,
                                    std::int32_t budget,
                                    std::int32_t backoffMs) {
  auto job = std::make_unique<L2Job>();
  job->ownerKey = key;
  job->cookie = cookie;
  job->busyRetryBudget = budget;
  job->remainingBudget = budget;
  job->backoffTime = backoffMs;
  job->destination = destination;
  job->data = std::move(data);
  return job;
}

std::int32_t Cl2Test::WaitResult(std::int32_t cookie, milliseconds timeout) {
  std::int32_t code = 0;
  m_log->WaitFor(
      [&](const std::vector<L2Message>& all) {
        for (const auto& m : all) {
          if (m.kind == kL2KindTransmitResult && m.value == cookie) {
            code = m.code;
            return true;
          }
        }
        return false;
      },
      timeout);
  return code;
}

}  // namespace tavra::stack::cl2test
