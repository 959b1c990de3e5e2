#pragma once
// The state that the loader's callback object shares with the transfer procedures: the
// connection status COM_Status, the confirm and indication latches, and the receive buffers
// (production data, uploaded header, upload size, the held upload block).
//
// Owner: shared by DriverConnection and LoaderCallback (std::shared_ptr), because the server may
// keep the callback object after the connection has let it go.
// Lock: every member is guarded by LinkLock, one re-entrant mutex (callers may already hold it).
// Threads: the On* methods run on the proxy's callback thread; the waits and the getters on the
// thread that runs a procedure or the window's supervisor. A wait blocks on a condition variable
// until its latch is set, Abort() is called or the limit passes: nothing spins.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>

#include "loader/link/firmware_image.h"
#include "loader/link/header_text.h"
#include "loader/link/loader_reports.h"
#include "loader/link/production_data.h"

namespace tavra::loader {

// COM_Status values.
enum ComStatus : std::uint8_t {
  COM_NO_DRIVER = 0,
  COM_DRIVER_CREATED = 1,
  COM_CONNECTED = 2,
  COM_TAVRA_ONLINE_NORMAL_MODE = 3,
  COM_TAVRA_BOOTCODE_MODE = 5,
};

// The limit of every confirm and indication wait.
inline constexpr std::chrono::milliseconds kCallbackWaitLimit{15000};

// The box a callback shows for an upload block that arrived while another one was held, and
// for a controller that reports itself with type 0.
inline constexpr char kUploadBlockNotReadText[] = "DATA_INDICATION UploadBlock Not read ";
inline constexpr char kUploadBlockNotReadCaption[] = "DATA RECEIVED FROM Tavra";
inline constexpr char kTypeZeroText[] =
    "Tavra Controller can Not be updated via Firmware Loader, Tavra Controller Version 6.1";
inline constexpr char kTypeZeroCaption[] = "Message";

class LinkState {
 public:
  using LinkLock = std::recursive_mutex;

  static constexpr std::size_t kHeldBlockSize = 1024;

  // `notices` receives the boxes of the callbacks (may be null: then they are dropped).
  explicit LinkState(MessageBoxes* notices = nullptr) : m_notices(notices) {}
  // Replaces the receiver of the callbacks' boxes; null drops them (the owner of the receiver
  // detaches it before it goes, since the callback object may outlive it).
  void SetNotices(MessageBoxes* notices);

  // The re-entrant lock itself, for callers that read several values together.
  [[nodiscard]] LinkLock& Lock() const { return m_lock; }

  [[nodiscard]] std::uint8_t ComStatus() const;
  void SetComStatus(std::uint8_t status);

  // --- callback side ---
  void OnDataConfirm();
  void OnDataIndication(std::int32_t length, const std::uint8_t* data);
  void OnManagementIndication(std::int32_t type, std::int32_t length, const std::uint8_t* data);

  // Offline indications so far; WaitForOffline waits until the count passes `seen` (the link
  // was taken down for a reset or a switch). False on time-out or abort.
  [[nodiscard]] std::uint64_t OfflineCount() const;
  bool WaitForOffline(std::uint64_t seen, std::chrono::milliseconds limit);
  // Waits until COM_Status is `status`; false on time-out or abort.
  bool WaitForStatus(std::uint8_t status, std::chrono::milliseconds limit);
  // Waits until the controller is reported online (normal mode or boot code); false on
  // time-out or abort.
  bool WaitForOnline(std::chrono::milliseconds limit);
  // Waits until the last indication has been taken by a wait (for test doubles that deliver
  // a controller's second message only after the first was read).
  bool WaitIndicationTaken(std::chrono::milliseconds limit);

  // --- procedure side (never called with LinkLock held: the wait must release it) ---
  // True when a confirm came; false on time-out (and when the latch and the limit are seen
  // together). The latch is cleared in either case.
  bool WaitCallbackDataConfirm();
  // True with the code when an indication came; false on time-out. The latch is cleared.
  bool WaitCallbackDataIndication(std::uint8_t& code);
  [[nodiscard]] std::uint8_t IndicationReason() const;

  // Copies all 256 / 512 bytes out; returns the count.
  std::size_t CopyProductionData(ProductionData& out) const;
  std::size_t CopyUploadedHeader(HeaderText& out) const;
  [[nodiscard]] std::uint32_t UploadSize() const;
  [[nodiscard]] std::uint32_t UploadBlockCount() const;

  // 1 = stored as the held block; 0 = a block is still held (the new one is left alone).
  int StoreUploadBlock(std::int32_t length, const std::uint8_t* data);
  // Forgets a held block (an upload starts).
  void ClearHeldBlock();
  // What TakeUploadBlock did with the held block.
  enum class Take {
    Stored,       // stored as the expected row and released
    NothingHeld,  // no block is held
    WrongNumber,  // the held block is not the expected one: dropped (else it blocks the rest)
    NoRow,        // number above 19,999, shorter than 3 bytes or more data than a row: dropped
  };
  // Stores the held block as row `expected` of `image` when it carries that number, and
  // releases it in every case. `number` receives the held block's number (-1 when none).
  Take TakeUploadBlock(int expected, FirmwareImage& image, int& number);

  // The limit of the waits (tests shorten it).
  void SetWaitLimit(std::chrono::milliseconds limit);
  // Ends every wait now and makes later waits fail at once, until ClearAbort().
  void Abort();
  void ClearAbort();
  [[nodiscard]] bool Aborted() const;

 private:
  bool WaitLatch(bool LinkState::*latch, std::uint8_t* code);

  mutable LinkLock m_lock;
  mutable std::condition_variable_any m_changed;
  MessageBoxes* m_notices;

  std::uint8_t m_comStatus = COM_NO_DRIVER;
  bool m_dataConfirmReceived = false;
  bool m_indicationReceived = false;
  std::uint8_t m_indicationCode = 0;
  std::uint8_t m_indicationReason = 0xFF;
  bool m_aborted = false;
  std::uint64_t m_offlineCount = 0;
  std::chrono::milliseconds m_waitLimit = kCallbackWaitLimit;

  ProductionData m_productionData;
  HeaderText m_uploadedHeader;
  std::uint32_t m_uploadSize = 0;
  std::uint32_t m_uploadBlockCount = 0;
  std::array<std::uint8_t, kHeldBlockSize> m_heldBlock{};
  std::int32_t m_heldLength = 0;
  bool m_held = false;
};

}  // namespace tavra::loader
