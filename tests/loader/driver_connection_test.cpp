// The loader's driver connection: status, boot-code request, shutdown, driver errors, and the
// latches and receive buffers that the callbacks fill.

#include <gtest/gtest.h>

#include <thread>

#include "link_fakes_support.h"

namespace tavra::loader::test {
namespace {

using namespace std::chrono_literals;

TEST(DriverConnection, ConnectsAndFollowsTheControllersState) {
  FakeLink link(false);
  EXPECT_EQ(link.connection.ComStatus(), COM_CONNECTED);
  struct Step {
    int type;  // -1: link down
    std::uint8_t status;
    bool notice;
  };
  const Step steps[] = {{3, 3, false}, {1, 5, false}, {-1, 2, false}, {0, 2, true}, {7, 3, false}};
  for (const Step& s : steps) {
    {
      std::lock_guard lock(link.boxes.mutex);
      link.boxes.notices.clear();
    }
    link.tavra.Indicate(s.type);
    EXPECT_EQ(link.connection.ComStatus(), s.status) << s.type;
    std::lock_guard lock(link.boxes.mutex);
    EXPECT_EQ(link.boxes.notices,
              s.notice ? std::vector<std::string>{kTypeZeroText} : std::vector<std::string>{})
        << s.type;
  }
}

TEST(DriverConnection, DriverErrorsShowTheirMessages) {
  const std::pair<HRESULT, const char*> cases[] = {
      {CommandFailed_PortInUse, "IDS_MB_23_TEXT"},
      {CommandFailed_PortNotFound, "IDS_MB_22_TEXT"},
      {CommandFailed_PortOpenError, "IDS_MB_21_TEXT"},
      {CommandFailed_NotInitialised, "IDS_MB_20_TEXT"},
      {CommandFailed_ResourcesLow, "IDS_MB_24_TEXT"},
      {E_FAIL, "IDS_MB_19_TEXT"},
  };
  for (const auto& [code, box] : cases) {
    FakeLink link(false);
    link.pool->result = code;
    EXPECT_EQ(link.connection.ChangeComport(2), code);
    EXPECT_EQ(link.connection.ComStatus(), COM_DRIVER_CREATED);
    EXPECT_EQ(link.boxes.shown, std::vector<std::string>{box});
    const std::vector<std::string> log{"Client_Remove() Hresult= 0 ClientId =7",
                                       "Release() Hresult= 1",
                                       "GetTavraInterface() Hresult= " + std::to_string(code)};
    EXPECT_EQ(link.log.lines, log);
  }
}

TEST(DriverConnection, PoolThatCannotBeMadeLeavesNoDriver) {
  RecordingLog log;
  RecordingBoxes boxes;
  std::vector<std::uint32_t> contexts;
  DriverConnection connection(
      [&](std::uint32_t context, std::shared_ptr<ITavraPool>&) {
        contexts.push_back(context);
        return kInvalidArgument;
      },
      &log, boxes);
  EXPECT_EQ(connection.ChangeComport(1), kInvalidArgument);
  EXPECT_EQ(connection.ComStatus(), COM_NO_DRIVER);
  EXPECT_EQ(contexts, (std::vector<std::uint32_t>{kPoolContextAll, kPoolContextLocal}));
  EXPECT_EQ(boxes.shown, std::vector<std::string>{"IDS_MB_18_TEXT"});
  const std::vector<std::string> expected{"CreateInstance() Hresult= 0",
                                          "callback->AddRef() RefCount= 1",
                                          "CoTavraPool Create(),Exception, RefCount= 1"};
  EXPECT_EQ(log.lines, expected);
}

TEST(DriverConnection, ConnectBootCodeModeByStatus) {
  const std::string prefix = "ConnectBootCodeMode() Management_Request CONNECT_STATUS :  ";
  struct Case {
    std::int32_t result;
    std::int32_t dataType;
    std::uint8_t controllerType;
    int comStatus;  // set through an indication before the call (type), -1: none
    std::int32_t expected;
    bool bootRequested;
    std::vector<std::string> log;
    std::string box;
  };
  const Case cases[] = {
      {STATUS_ONLINE, 1, 3, 3, 0, true, {prefix + "Tavra NORMAL MODE"}, ""},
      {STATUS_ONLINE, 1, 1, 1, 0, false, {prefix + "Tavra NORMAL MODE"}, ""},
      {STATUS_ONLINE,
       1,
       0,
       -1,
       -1,
       false,
       {prefix + "Tavra NORMAL MODE", prefix + "UNKNOWN !!!"},
       "IDS_MB_17_TEXT"},
      {STATUS_ONLINE,
       2,
       3,
       3,
       0,
       true,
       {prefix + "Tavra NORMAL MODE", "ConnectBootCodeMode() Management_Request Unknow DATATYPE "},
       ""},
      {STATUS_NO_CONNECTION,
       0,
       0,
       1,
       0,
       true,
       {prefix + "NO Connection to Tavra",
        "ConnectBootCodeMode() Management_Request  P_Result:603979779"},
       ""},
  };
  for (const Case& c : cases) {
    FakeLink link(false);
    if (c.comStatus >= 0) {
      link.tavra.Indicate(c.comStatus);
    }
    link.tavra.management[CONNECT_STATUS] = {S_OK, c.result, c.dataType,
                                             Bytes{c.controllerType, 1, 2, 3, 4, 0}};
    EXPECT_EQ(link.connection.ConnectBootCodeMode(), c.expected) << c.result;
    const bool requested =
        link.tavra.commands.size() == 2 && link.tavra.commands[1] == CONNECT_BOOTCODE;
    EXPECT_EQ(requested, c.bootRequested) << c.result << " " << c.comStatus;
    EXPECT_EQ(link.log.lines, c.log);
    EXPECT_EQ(link.boxes.shown.empty(), c.box.empty());
  }
}

TEST(DriverConnection, RefusedBootCodeRequestAndFailedStatusQuery) {
  FakeLink link(false);
  link.tavra.management[CONNECT_STATUS] = {S_OK, STATUS_NO_CONNECTION, 0, {}};
  link.tavra.management[CONNECT_BOOTCODE] = {CommandFailed_DriverBusy, 0, 0, {}};
  EXPECT_EQ(link.connection.ConnectBootCodeMode(), CommandFailed_DriverBusy);
  EXPECT_EQ(link.boxes.shown, std::vector<std::string>{"IDS_MB_16_TEXT"});

  link.tavra.management[CONNECT_STATUS] = {CommandFailed_ClientNotRegistered, 0, 0, {}};
  EXPECT_EQ(link.connection.ConnectBootCodeMode(), CommandFailed_ClientNotRegistered);
  EXPECT_EQ(link.log.lines.back(),
            "ConnectBootCodeMode() Management_Request Failed hRes:570425355");
}

TEST(DriverConnection, KillComObjectResetsRemovesAndReleases) {
  const std::string prefix = "KillComObject() Management_Request RESET CONTROLLER:  ";
  const std::pair<HRESULT, std::string> cases[] = {
      {S_OK, "Tavra RESET SUCCESS"},
      {CommandFailed_ResourcesLow, "CommandFailed_ResourcesLow"},
      {CommandFailed_DriverBusy, "CommandFailed_DriverBusy"},
      {CommandFailed_ClientNotRegistered, "CommandFailed_ClientNotRegistered"},
      {CommandFailed_NoConnection, "CommandFailed Unknown Error"},
  };
  for (const auto& [hr, text] : cases) {
    FakeLink link(false);
    link.tavra.management[RESET_CONTROLLER] = {hr, 0, 0, {}};
    link.connection.KillComObject();
    EXPECT_EQ(link.tavra.commands, std::vector<std::int32_t>{RESET_CONTROLLER});
    EXPECT_EQ(link.tavra.removed, std::vector<std::int32_t>{7});
    EXPECT_EQ(link.log.lines.at(0), prefix + text);
    EXPECT_EQ(link.connection.ComStatus(), COM_NO_DRIVER);
    EXPECT_FALSE(link.connection.CallbackOutlived());
  }
  // Never registered: the success line, no removal, and the callback object is still let go.
  RecordingLog log;
  RecordingBoxes boxes;
  auto pool = std::make_shared<FakePool>();
  pool->result = CommandFailed_PortNotFound;
  DriverConnection connection(
      [pool](std::uint32_t, std::shared_ptr<ITavraPool>& out) {
        out = pool;
        return S_OK;
      },
      &log, boxes);
  (void)connection.ChangeComport(4);
  log.lines.clear();
  connection.KillComObject();
  EXPECT_EQ(log.lines, std::vector<std::string>{prefix + "Tavra RESET SUCCESS"});
  EXPECT_EQ(connection.ComStatus(), COM_NO_DRIVER);
}

TEST(DriverConnection, CallbackKeptByTheServerIsNoticed) {
  FakeLink link(false);
  const auto kept = link.tavra.callback;  // a server that did not let go
  link.connection.KillComObject();
  EXPECT_TRUE(link.connection.CallbackOutlived());
}

TEST(LinkLatches, WaitSemantics) {
  LinkState state;
  state.SetWaitLimit(2000ms);
  // A confirm and a reply that came before the wait are not lost; two replies: the last wins.
  state.OnDataConfirm();
  const Bytes first{0x31};
  const Bytes second{0x11, 9};
  state.OnDataIndication(1, first.data());
  state.OnDataIndication(2, second.data());
  std::uint8_t code = 0;
  EXPECT_TRUE(state.WaitCallbackDataConfirm());
  EXPECT_TRUE(state.WaitCallbackDataIndication(code));
  EXPECT_EQ(code, 0x11);
  EXPECT_EQ(state.IndicationReason(), 9);

  // The latch and the limit seen together count as a time-out, and the latch is consumed.
  state.SetWaitLimit(0ms);
  state.OnDataIndication(1, first.data());
  EXPECT_FALSE(state.WaitCallbackDataIndication(code));
  state.SetWaitLimit(2000ms);
  state.OnDataConfirm();
  EXPECT_TRUE(state.WaitCallbackDataConfirm());

  // A reply that comes after its wait gave up is taken by the next wait; a reply from
  // another thread wakes a waiting one.
  state.SetWaitLimit(10ms);
  EXPECT_FALSE(state.WaitCallbackDataIndication(code));
  state.OnDataIndication(1, first.data());
  EXPECT_TRUE(state.WaitCallbackDataIndication(code));
  state.SetWaitLimit(10000ms);
  std::thread late([&] { state.OnDataIndication(1, second.data()); });
  EXPECT_TRUE(state.WaitCallbackDataIndication(code));
  late.join();
  EXPECT_EQ(code, 0x11);

  // Abort ends a wait at once.
  std::thread abort([&] { state.Abort(); });
  EXPECT_FALSE(state.WaitCallbackDataConfirm());
  abort.join();
}

TEST(LinkLatches, ReceiveBuffersNeverReadBeyondTheReply) {
  LinkState state;
  Bytes header(601, 'h');
  header[0] = 0x3A;
  state.OnDataIndication(static_cast<std::int32_t>(header.size()), header.data());
  HeaderText uploaded;
  EXPECT_EQ(state.CopyUploadedHeader(uploaded), 512u);
  EXPECT_EQ(uploaded.bytes[511], 'h');

  const Bytes production{0x2C};
  state.OnDataIndication(1, production.data());
  ProductionData data;
  data.bytes.fill(1);
  EXPECT_EQ(state.CopyProductionData(data), 256u);
  EXPECT_EQ(data.bytes, ProductionData{}.bytes);

  const Bytes shortSize{0x34, 0x10, 0x02};  // size bytes 3 and 4 missing: read as 0
  state.OnDataIndication(3, shortSize.data());
  EXPECT_EQ(state.UploadSize(), 0x0210u);
  EXPECT_EQ(state.UploadBlockCount(), 0x0210u / 67);

  const Bytes reasonless{0x14};
  state.OnDataIndication(1, reasonless.data());
  EXPECT_EQ(state.IndicationReason(), 0xFF);
}

TEST(LinkLatches, HeldUploadBlock) {
  RecordingBoxes boxes;
  LinkState state(&boxes);
  auto image = std::make_unique<FirmwareImage>();
  int number = 0;
  const Bytes empty{0x15, 1, 0};
  const Bytes second{0x15, 2, 0, 0xAB};
  state.OnDataIndication(3, empty.data());
  state.OnDataIndication(4, second.data());  // arrives while the first is held: dropped
  {
    std::lock_guard lock(boxes.mutex);
    EXPECT_EQ(boxes.notices, std::vector<std::string>{kUploadBlockNotReadText});
  }
  EXPECT_EQ(state.TakeUploadBlock(1, *image, number), LinkState::Take::Stored);
  EXPECT_EQ(image->rowLength[1], 0);  // a 3-byte block is an empty row
  EXPECT_EQ(state.TakeUploadBlock(2, *image, number), LinkState::Take::NothingHeld);
  const Bytes huge(200, 0x15);  // number 0x1515 with 197 bytes: more than a row
  Bytes big = huge;
  big[1] = 2;
  big[2] = 0;
  state.OnDataIndication(static_cast<std::int32_t>(big.size()), big.data());
  EXPECT_EQ(state.TakeUploadBlock(2, *image, number), LinkState::Take::NoRow);
}

}  // namespace
}  // namespace tavra::loader::test
