// Client-visible codes and texts: result code names and values, controller identity texts, and
// the byte layout of the link status block.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "shared/controller_identity.h"
#include "shared/link_status_block.h"
#include "shared/result_codes.h"
#include "shared/tavra_interfaces.h"

namespace tavra {
namespace {

// The interfaces are pure: a server or client object must implement every slot.
static_assert(std::is_abstract_v<ITavraPool> && std::has_virtual_destructor_v<ITavraPool>);
static_assert(std::is_abstract_v<ITavra> && std::has_virtual_destructor_v<ITavra>);
static_assert(std::is_abstract_v<ITavraCallback> && std::has_virtual_destructor_v<ITavraCallback>);

struct NamedCode {
  HRESULT value;
  std::uint32_t expectedValue;
  const char* name;
};

const NamedCode kClientCodes[] = {
    {CommandFailed_PortInUse, 0x21000001, "CommandFailed_PortInUse"},
    {CommandFailed_PortNotFound, 0x21000002, "CommandFailed_PortNotFound"},
    {CommandFailed_PortOpenError, 0x21000003, "CommandFailed_PortOpenError"},
    {CommandFailed_NotInitialised, 0x21000004, "CommandFailed_NotInitialised"},
    {CommandFailed_ResourcesLow, 0x21000005, "CommandFailed_ResourcesLow"},
    {CommandFailed_DriverBusy, 0x22000001, "CommandFailed_DriverBusy"},
    {CommandFailed_NoConnection, 0x22000002, "CommandFailed_NoConnection"},
    {CommandFailed_UnknownConnection, 0x22000003, "CommandFailed_UnknownConnection"},
    {CommandFailed_ConnectionBusy, 0x22000004, "CommandFailed_ConnectionBusy"},
    {CommandFailed_NoPendingIndication, 0x22000005, "CommandFailed_NoPendingIndication"},
    {CommandFailed_Rejected, 0x22000006, "CommandFailed_Rejected"},
    {CommandFailed_ControllerBusy, 0x22000007, "CommandFailed_ControllerBusy"},
    {CommandFailed_ConnectRefused, 0x22000008, "CommandFailed_ConnectRefused"},
    {CommandFailed_DataTooLong, 0x2200000A, "CommandFailed_DataTooLong"},
    {CommandFailed_ClientNotRegistered, 0x2200000B, "CommandFailed_ClientNotRegistered"},
    {CommandFailed_InvalidParameter, 0x2200000C, "CommandFailed_InvalidParameter"},
    {CommandFailed_ConnectionLost, 0x2200000D, "CommandFailed_ConnectionLost"},
    {CommandFailed_InvalidRxId, 0x2200000E, "CommandFailed_InvalidRxId"},
    {CommandFailed_UnknownCommand, 0x2200000F, "CommandFailed_UnknownCommand"},
    {CommandFailed_UnknownError, 0x22000100, "CommandFailed_UnknownError"},
};

TEST(IfaceResultCodes, ClientCodesHaveTheirValuesNamesAndBit31Clear) {
  for (const NamedCode& c : kClientCodes) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(static_cast<std::uint32_t>(c.value), c.expectedValue);
    EXPECT_EQ(ResultCodeName(c.value), c.name);
    // Clients test for exactly 0; the codes must not look like failures to a sign test.
    EXPECT_GT(c.value, 0);
  }
}

TEST(IfaceResultCodes, SuccessStatusAndPlatformCodesAreNamed) {
  EXPECT_EQ(ResultCodeName(0), "S_OK");
  EXPECT_EQ(ResultCodeName(static_cast<HRESULT>(0x80004005u)), "E_FAIL");
  EXPECT_EQ(ResultCodeName(static_cast<HRESULT>(0x80004001u)), "E_NOTIMPL");
  EXPECT_EQ(ResultCodeName(0x24000001), "STATUS_ONLINE");
  EXPECT_EQ(ResultCodeName(0x24000003), "STATUS_NO_CONNECTION");
}

TEST(IfaceResultCodes, UnknownValuesHaveNoName) {
  // 0x22000009 is a gap in the table; 0x28000001 is internal and never reaches a client.
  for (HRESULT v : {0x22000009, 0x22000010, 0x28000001, 0x24000002, 1, -1}) {
    EXPECT_TRUE(ResultCodeName(v).empty()) << std::hex << v;
  }
}

TEST(IfaceManagementCodes, CommandsSpanTheirRange) {
  EXPECT_EQ(CONNECT_BOOTCODE, 0x24000011);
  EXPECT_EQ(RESET_CONTROLLER, 0x24000012);
  EXPECT_EQ(CONNECT_STATUS, 0x24000013);
  EXPECT_EQ(STATUS_INDICATION, 0x24000014);
  EXPECT_EQ(LINK_STATUS_BLOCK, 0x24000015);
  EXPECT_EQ(CLIENT_ADDRESS, 0x24000016);
  EXPECT_EQ(CLIENT_INDEX, 0x24000017);
  EXPECT_EQ(kFirstManagementCommand, 0x24000011);
  EXPECT_EQ(kLastManagementCommand, 0x24000017);
}

struct TypeCase {
  std::uint8_t type;
  const char* name;
};

TEST(IfaceControllerIdentity, TypeNames) {
  const TypeCase cases[] = {{0, "TermTavra"},     {1, "BootCode"}, {2, "TermTavra"},
                            {3, "Tavra Windows"}, {4, "4"},        {17, "17"},
                            {255, "255"}};
  for (const TypeCase& c : cases) {
    ControllerIdentity id;
    id.bytes = {c.type, 9, 9, 9, 9, 9};
    EXPECT_EQ(id.TypeName(), c.name) << int{c.type};
    EXPECT_EQ(id.Type(), c.type);
  }
}

TEST(IfaceControllerIdentity, VersionTextUsesBytesOneToFourInDecimal) {
  ControllerIdentity id;
  id.bytes = {3, 1, 2, 3, 4, 0xAA};
  EXPECT_EQ(id.VersionText(), "1.2.3.4");
  id.bytes = {0, 255, 0, 10, 200, 7};
  EXPECT_EQ(id.VersionText(), "255.0.10.200");
  // Byte 5 is carried along but takes no part in the texts.
  ControllerIdentity other = id;
  other.bytes[5] = 8;
  EXPECT_EQ(other.VersionText(), id.VersionText());
  EXPECT_EQ(other.TypeName(), id.TypeName());
  EXPECT_FALSE(other == id);
}

TEST(IfaceLinkStatusBlock, EncodesEighteenLittleEndianWords) {
  LinkStatusBlock block;
  block.Set(LinkStatusWord::LinkUp, 1);
  block.Set(LinkStatusWord::ControllerType, 3);
  block.Set(LinkStatusWord::BitRate, 57600);
  block.Set(LinkStatusWord::MoreThanThreeRetransmissions, 0x01020304);
  const std::vector<std::uint8_t> bytes = block.Encode();
  ASSERT_EQ(bytes.size(), 72u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 8),
            (std::vector<std::uint8_t>{1, 0, 0, 0, 3, 0, 0, 0}));
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 56, bytes.begin() + 60),
            (std::vector<std::uint8_t>{0x00, 0xE1, 0x00, 0x00}));
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 68, bytes.end()),
            (std::vector<std::uint8_t>{0x04, 0x03, 0x02, 0x01}));
  for (std::size_t i = 8; i < 56; ++i) {
    EXPECT_EQ(bytes[i], 0) << i;
  }
}

TEST(IfaceLinkStatusBlock, DecodeRoundTripsAndRefusesOtherLengths) {
  LinkStatusBlock block;
  for (std::size_t i = 0; i < kLinkStatusWordCount; ++i) {
    block.words[i] = 0xF0000000u + static_cast<std::uint32_t>(i) * 0x01010101u;
  }
  const std::vector<std::uint8_t> bytes = block.Encode();
  const auto decoded = LinkStatusBlock::Decode(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, block);
  EXPECT_EQ(decoded->Get(LinkStatusWord::BitRate), 0xF0000000u + 14u * 0x01010101u);

  EXPECT_FALSE(LinkStatusBlock::Decode(std::span(bytes).first(71)).has_value());
  std::vector<std::uint8_t> longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(LinkStatusBlock::Decode(longer).has_value());
  EXPECT_FALSE(LinkStatusBlock::Decode({}).has_value());
}

}  // namespace
}  // namespace tavra
