#include "replay_support.h"

#include <fstream>
#include <sstream>

#include "server/stack/frame_codec.h"

namespace tavra::test {
namespace {

constexpr auto kFrameWait = std::chrono::milliseconds(60000);
constexpr std::uint8_t kManagementAddress = 0x20;
constexpr std::uint8_t kKeepAlive = 0x05;

// A frame taken apart: an acknowledgement (its byte) or a data frame.
struct Frame {
  bool ack = false;
  std::uint8_t first = 0;  // acknowledgement byte, or 0x20 + sequence
  std::uint8_t destination = 0;
  std::uint8_t source = 0;
  std::vector<std::uint8_t> data;  // without the DLEs

  [[nodiscard]] std::uint8_t Sequence() const { return first & 0x1F; }
  [[nodiscard]] bool IsKeepAlive() const {
    return !ack && destination == kManagementAddress && !data.empty() && data[0] == kKeepAlive;
  }
};

// Length of the complete frame at the front of `bytes` (which starts with STX); 0: not yet.
template <typename Bytes>
std::size_t FrameLength(const Bytes& bytes) {
  if (bytes.size() < 2) {
    return 0;
  }
  if (bytes[1] < 0x20 || bytes[1] > 0x3F) {
    return bytes.size() >= 3 ? 3 : 0;
  }
  bool escaped = false;
  for (std::size_t i = 4; i < bytes.size(); ++i) {
    if (escaped) {
      escaped = false;
    } else if (bytes[i] == stack::kDle) {
      escaped = true;
    } else if (bytes[i] == stack::kEtx) {
      return i + 1 < bytes.size() ? i + 2 : 0;
    }
  }
  return 0;
}

std::optional<Frame> Decode(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty() || bytes[0] != stack::kStx || FrameLength(bytes) != bytes.size()) {
    return std::nullopt;
  }
  Frame frame;
  frame.first = bytes[1];
  frame.ack = bytes.size() == 3;
  if (!frame.ack) {
    frame.destination = bytes[2];
    frame.source = bytes[3];
    for (std::size_t i = 4; i + 2 < bytes.size(); ++i) {
      if (bytes[i] == stack::kDle) {
        ++i;
      }
      frame.data.push_back(bytes[i]);
    }
  }
  return frame;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::ostringstream out;
  out << std::hex << std::uppercase;
  for (const std::uint8_t b : bytes) {
    out << (b < 16 ? " 0" : " ") << static_cast<int>(b);
  }
  return out.str();
}

// Equal but for the sequence number, which is the recorded one plus `shift`.
bool Same(const Frame& got, const Frame& want, int shift) {
  return got.ack == want.ack && (got.first & 0xE0) == (want.first & 0xE0) &&
         got.Sequence() == ((want.Sequence() + shift) & 0x1F) &&
         got.destination == want.destination && got.source == want.source && got.data == want.data;
}

}  // namespace

std::optional<std::vector<TraceFrame>> ReadTrace(const std::filesystem::path& path,
                                                 std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = path.string() + ": cannot read";
    return std::nullopt;
  }
  std::vector<TraceFrame> frames;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    std::istringstream line(text.substr(0, text.find('|')));
    std::string seconds;
    std::string direction;
    std::string hex;
    line >> seconds >> direction;
    if (direction != "H>C" && direction != "C>H") {
      *error = path.string() + ":" + std::to_string(number) + ": not a frame";
      return std::nullopt;
    }
    TraceFrame frame{number, direction == "H>C", {}};
    while (line >> hex) {
      frame.bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex, nullptr, 16)));
    }
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::vector<std::string> TrimAtGivingUp(const std::vector<std::string>& lines) {
  std::vector<std::string> kept;
  std::string lost;  // the bytes of the first frame lost to the silence
  for (const std::string& line : lines) {
    const bool silent = line.find("[lost: silent]") != std::string::npos;
    const std::string bytes = line.substr(13, line.find('|') - 13);
    if (!lost.empty() && (!silent || bytes != lost)) {
      break;
    }
    if (silent) {
      lost = bytes;
    }
    kept.push_back(line);
  }
  return kept;
}

SessionReplayer::SessionReplayer(std::vector<TraceFrame> script) : m_script(std::move(script)) {}

SessionReplayer::~SessionReplayer() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_cv.notify_all();
  if (m_thread.joinable()) {
    m_thread.join();
  }
  if (m_line) {
    m_line->Stop();
  }
}

bool SessionReplayer::Start(const std::string& linkPath, std::string* error) {
  m_line = sim::MakePseudoTerminalLine(
      [this](std::span<const std::uint8_t> bytes, int) {
        {
          std::lock_guard lock(m_mutex);
          m_received.insert(m_received.end(), bytes.begin(), bytes.end());
        }
        m_cv.notify_all();
      },
      linkPath, error);
  if (!m_line) {
    return false;
  }
  m_thread = std::thread([this] { Play(); });
  return true;
}

bool SessionReplayer::WaitDone(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, timeout, [&] { return m_done; });
}

std::string SessionReplayer::Failure() const {
  std::lock_guard lock(m_mutex);
  return m_failure;
}

int SessionReplayer::ExtraKeepAlives() const {
  std::lock_guard lock(m_mutex);
  return m_extraKeepAlives;
}

void SessionReplayer::Finish(const std::string& failure) {
  {
    std::lock_guard lock(m_mutex);
    m_failure = failure;
    m_done = true;
  }
  m_cv.notify_all();
}

std::optional<std::vector<std::uint8_t>> SessionReplayer::NextHostFrame(
    std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  std::size_t length = 0;
  const bool complete = m_cv.wait_for(lock, timeout, [&] {
    while (!m_received.empty() && m_received.front() != stack::kStx) {
      m_received.pop_front();  // nothing on a quiet line is outside a frame
    }
    length = FrameLength(m_received);
    return m_stop || length > 0;
  });
  if (!complete || length == 0) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> frame(m_received.begin(), m_received.begin() + length);
  m_received.erase(m_received.begin(), m_received.begin() + length);
  return frame;
}

void SessionReplayer::Send(const std::vector<std::uint8_t>& recorded, int shift, int* sequence) {
  const std::optional<Frame> frame = Decode(recorded);
  const auto number = static_cast<std::uint8_t>((frame->Sequence() + shift) & 0x1F);
  if (frame->ack) {
    m_line->Write(stack::EncodeAckFrame((frame->first & 0xE0) | number));
    return;
  }
  m_line->Write(stack::EncodeDataFrame(number, frame->destination, frame->source, frame->data));
  *sequence = number;
}

void SessionReplayer::AnswerKeepAlive(std::uint8_t hostSequence, int ownSequence) {
  m_line->Write(stack::EncodeAckFrame(stack::kAckAccepted | hostSequence));
  const std::uint8_t reply = 0x20 | kKeepAlive;
  m_line->Write(stack::EncodeDataFrame(static_cast<std::uint8_t>(ownSequence), kManagementAddress,
                                       kManagementAddress, std::span(&reply, 1)));
  std::lock_guard lock(m_mutex);
  ++m_extraKeepAlives;
}

void SessionReplayer::Play() {
  int shift = 0;    // extra keep-alives so far: the sequence numbers' offset
  int lastOwn = 0;  // the controller's last own sequence number sent
  for (const TraceFrame& step : m_script) {
    if (!step.fromHost && step.bytes.size() > 3) {
      lastOwn = (step.bytes[1] - 1) & 0x1F;  // before the first one
      break;
    }
  }
  int extraAck = -1;  // the host's acknowledgement of an extra answer, to come (-1: none)
  for (std::size_t i = 0; i < m_script.size();) {
    const TraceFrame& step = m_script[i];
    const std::optional<Frame> want = Decode(step.bytes);
    const std::string where = "line " + std::to_string(step.line) + ": ";
    if (!want) {
      return Finish(where + "not a frame");
    }
    if (!step.fromHost) {
      Send(step.bytes, shift, &lastOwn);
      ++i;
      continue;
    }
    const std::optional<std::vector<std::uint8_t>> bytes = NextHostFrame(kFrameWait);
    if (!bytes) {
      return Finish(where + "the host sent nothing; expected" + Hex(step.bytes));
    }
    const std::optional<Frame> got = Decode(*bytes);
    if (got && Same(*got, *want, shift)) {
      ++i;
    } else if (got && got->ack && got->Sequence() == extraAck) {
      extraAck = -1;
    } else if (got && got->IsKeepAlive()) {
      // An idle gap longer than the recording's: answer as a controller does.
      lastOwn = (lastOwn + 1) & 0x1F;
      AnswerKeepAlive(got->Sequence(), lastOwn);
      extraAck = lastOwn;
      ++shift;
    } else {
      return Finish(where + "expected" + Hex(step.bytes) + ", the host sent" + Hex(*bytes));
    }
  }
  Finish("");
}

}  // namespace tavra::test
