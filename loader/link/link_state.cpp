#include "loader/link/link_state.h"

#include <algorithm>
#include <cstring>

#include "loader/link/firmware_messages.h"
#include "shared/result_codes.h"

namespace tavra::loader {

namespace {

// Copies at most `size` bytes of a reply's data after its code byte into `out`, which is
// zeroed first; nothing is read beyond the reply.
void CopyAfterCode(std::int32_t length,
                   const std::uint8_t* data,
                   std::uint8_t* out,
                   std::size_t size) {
  std::memset(out, 0, size);
  if (length > 1) {
    const auto n = std::min(static_cast<std::size_t>(length - 1), size);
    std::memcpy(out, data + 1, n);
  }
}

}  // namespace

void LinkState::SetNotices(MessageBoxes* notices) {
  std::lock_guard lock(m_lock);
  m_notices = notices;
}

std::uint8_t LinkState::ComStatus() const {
  std::lock_guard lock(m_lock);
  return m_comStatus;
}

void LinkState::SetComStatus(std::uint8_t status) {
  std::lock_guard lock(m_lock);
  m_comStatus = status;
  m_changed.notify_all();
}

void LinkState::OnDataConfirm() {
  std::lock_guard lock(m_lock);
  m_dataConfirmReceived = true;
  m_changed.notify_all();
}

void LinkState::OnDataIndication(std::int32_t length, const std::uint8_t* data) {
  if (length < 1 || data == nullptr) {
    return;  // no code byte: nothing to latch
  }
  std::lock_guard lock(m_lock);
  const std::uint8_t code = data[0];
  std::uint8_t reason = 0xFF;
  if (CarriesReason(code)) {
    reason = length > 1 ? data[1] : 0xFF;  // a missing reason reads as "none"
  } else if (code == FWUploadBlock_CMD) {
    if (StoreUploadBlock(length, data) == 0 && m_notices != nullptr) {
      m_notices->PostNotice(kUploadBlockNotReadText, kUploadBlockNotReadCaption);
    }
  } else if (code == PDUpload_ACK) {
    CopyAfterCode(length, data, m_productionData.bytes.data(), ProductionData::kSize);
  } else if (code == FWUpload_ACK) {
    std::uint32_t size = 0;
    for (std::int32_t i = 4; i >= 1; --i) {  // a missing byte reads as 0
      size = (size << 8) | (i < length ? data[i] : 0u);
    }
    m_uploadSize = size;
    m_uploadBlockCount = size / kUploadBytesPerBlock;
  } else if (code == FWHUpload_ACK) {
    CopyAfterCode(length, data, reinterpret_cast<std::uint8_t*>(m_uploadedHeader.bytes.data()),
                  HeaderText::kSize);
  }
  m_indicationReceived = true;
  m_indicationCode = code;
  m_indicationReason = reason;
  m_changed.notify_all();
}

void LinkState::OnManagementIndication(std::int32_t type,
                                       std::int32_t length,
                                       const std::uint8_t* data) {
  std::lock_guard lock(m_lock);
  if (type == STATUS_ONLINE) {
    const std::uint8_t controllerType = length > 0 && data != nullptr ? data[0] : 0;
    if (controllerType == 0) {
      if (m_notices != nullptr) {
        m_notices->PostNotice(kTypeZeroText, kTypeZeroCaption);
      }
    } else {
      m_comStatus = controllerType == 1 ? COM_TAVRA_BOOTCODE_MODE : COM_TAVRA_ONLINE_NORMAL_MODE;
    }
  } else if (type == STATUS_NO_CONNECTION) {
    ++m_offlineCount;
    m_comStatus = COM_CONNECTED;
  }
  m_changed.notify_all();
}

bool LinkState::WaitLatch(bool LinkState::*latch, std::uint8_t* code) {
  // The lock is taken once here: a wait under a lock held twice would never release it.
  std::unique_lock lock(m_lock);
  const auto deadline = std::chrono::steady_clock::now() + m_waitLimit;
  m_changed.wait_until(lock, deadline, [&] { return this->*latch || m_aborted; });
  // A latch seen together with the limit counts as a time-out, as does an abort.
  const bool timedOut = m_aborted || std::chrono::steady_clock::now() >= deadline;
  this->*latch = false;
  m_changed.notify_all();
  if (!timedOut && code != nullptr) {
    *code = m_indicationCode;
  }
  return !timedOut;
}

bool LinkState::WaitCallbackDataConfirm() {
  return WaitLatch(&LinkState::m_dataConfirmReceived, nullptr);
}

bool LinkState::WaitCallbackDataIndication(std::uint8_t& code) {
  return WaitLatch(&LinkState::m_indicationReceived, &code);
}

std::uint64_t LinkState::OfflineCount() const {
  std::lock_guard lock(m_lock);
  return m_offlineCount;
}

bool LinkState::WaitForOffline(std::uint64_t seen, std::chrono::milliseconds limit) {
  std::unique_lock lock(m_lock);
  return m_changed.wait_for(lock, limit, [&] { return m_offlineCount > seen || m_aborted; }) &&
         !m_aborted;
}

bool LinkState::WaitForStatus(std::uint8_t status, std::chrono::milliseconds limit) {
  std::unique_lock lock(m_lock);
  return m_changed.wait_for(lock, limit, [&] { return m_comStatus == status || m_aborted; }) &&
         !m_aborted;
}

bool LinkState::WaitForOnline(std::chrono::milliseconds limit) {
  std::unique_lock lock(m_lock);
  const auto online = [&] {
    return m_comStatus == COM_TAVRA_ONLINE_NORMAL_MODE || m_comStatus == 4 ||
           m_comStatus == COM_TAVRA_BOOTCODE_MODE || m_aborted;
  };
  return m_changed.wait_for(lock, limit, online) && !m_aborted;
}

bool LinkState::WaitIndicationTaken(std::chrono::milliseconds limit) {
  std::unique_lock lock(m_lock);
  return m_changed.wait_for(lock, limit, [&] { return !m_indicationReceived; });
}

std::uint8_t LinkState::IndicationReason() const {
  std::lock_guard lock(m_lock);
  return m_indicationReason;
}

std::size_t LinkState::CopyProductionData(ProductionData& out) const {
  std::lock_guard lock(m_lock);
  out = m_productionData;
  return ProductionData::kSize;
}

std::size_t LinkState::CopyUploadedHeader(HeaderText& out) const {
  std::lock_guard lock(m_lock);
  out = m_uploadedHeader;
  return HeaderText::kSize;
}

std::uint32_t LinkState::UploadSize() const {
  std::lock_guard lock(m_lock);
  return m_uploadSize;
}

std::uint32_t LinkState::UploadBlockCount() const {
  std::lock_guard lock(m_lock);
  return m_uploadBlockCount;
}

int LinkState::StoreUploadBlock(std::int32_t length, const std::uint8_t* data) {
  std::lock_guard lock(m_lock);
  if (m_held) {
    return 0;
  }
  const auto n = std::clamp<std::int32_t>(length, 0, static_cast<std::int32_t>(kHeldBlockSize));
  std::memcpy(m_heldBlock.data(), data, static_cast<std::size_t>(n));
  m_heldLength = n;
  m_held = true;
  return 1;
}

void LinkState::ClearHeldBlock() {
  std::lock_guard lock(m_lock);
  m_held = false;
}

LinkState::Take LinkState::TakeUploadBlock(int expected, FirmwareImage& image, int& number) {
  std::lock_guard lock(m_lock);
  number = -1;
  if (!m_held) {
    return Take::NothingHeld;
  }
  m_held = false;  // released whatever happens to it: a stuck block would drop all later ones
  if (m_heldLength < 3) {
    return Take::NoRow;
  }
  number = m_heldBlock[1] | (m_heldBlock[2] << 8);
  if (number != expected) {
    return Take::WrongNumber;
  }
  const std::span<const std::uint8_t> row(m_heldBlock.data() + 3,
                                          static_cast<std::size_t>(m_heldLength - 3));
  return image.SetRow(number, row) ? Take::Stored : Take::NoRow;
}

void LinkState::SetWaitLimit(std::chrono::milliseconds limit) {
  std::lock_guard lock(m_lock);
  m_waitLimit = limit;
}

void LinkState::Abort() {
  std::lock_guard lock(m_lock);
  m_aborted = true;
  m_changed.notify_all();
}

void LinkState::ClearAbort() {
  std::lock_guard lock(m_lock);
  m_aborted = false;
}

bool LinkState::Aborted() const {
  std::lock_guard lock(m_lock);
  return m_aborted;
}

}  // namespace tavra::loader
