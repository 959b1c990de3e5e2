// The translation of internal codes into client codes: every row of the table, the codes around
// the ranges, and the values that must come out as CommandFailed_UnknownError.

#include <gtest/gtest.h>

#include <cstdint>

#include "server/service/code_translation.h"
#include "server/stack/internal_codes.h"
#include "server/stack/l4_codes.h"
#include "shared/result_codes.h"

namespace tavra::service {
namespace {

struct Row {
  std::uint32_t internal;
  HRESULT client;
};

constexpr Row kTable[] = {
    {0x00000000, S_OK},
    {0x28000001, CommandFailed_PortOpenError},
    {0x28000002, CommandFailed_PortInUse},
    {0x28000003, CommandFailed_PortNotFound},
    {0x28000004, CommandFailed_NotInitialised},
    {0x28000201, CommandFailed_NotInitialised},
    {0x28000401, CommandFailed_NotInitialised},
    {0x28000005, CommandFailed_ResourcesLow},
    {0x28000006, CommandFailed_ResourcesLow},
    {0x2800000D, CommandFailed_ResourcesLow},
    {0x2800000E, CommandFailed_ResourcesLow},
    {0x28000209, CommandFailed_ResourcesLow},
    {0x28000404, CommandFailed_ResourcesLow},
    {0x2800000A, CommandFailed_DriverBusy},
    {0x28000207, CommandFailed_DriverBusy},
    {0x2800020A, CommandFailed_DriverBusy},
    {0x28000007, CommandFailed_NoConnection},
    {0x28000009, CommandFailed_NoConnection},
    {0x2800020B, CommandFailed_UnknownConnection},
    {0x28000204, CommandFailed_ConnectionBusy},
    {0x28000208, CommandFailed_NoPendingIndication},
    {0x2800000B, CommandFailed_DataTooLong},
    {0x28000205, CommandFailed_DataTooLong},
    {0x28000008, CommandFailed_ClientNotRegistered},
    {0x28000203, CommandFailed_ClientNotRegistered},
    {0x28000402, CommandFailed_ClientNotRegistered},
    {0x2800000C, CommandFailed_InvalidParameter},
    {0x28000206, CommandFailed_InvalidParameter},
    {0x28000403, CommandFailed_InvalidParameter},
    {0x28000010, CommandFailed_InvalidRxId},
    {0x2800020C, CommandFailed_InvalidRxId},
    {0x2800000F, CommandFailed_UnknownCommand},
    // Everything else: the unused and neighbouring codes, E_NOTIMPL, E_FAIL, client codes.
    {0x28000000, CommandFailed_UnknownError},
    {0x28000011, CommandFailed_UnknownError},
    {0x28000200, CommandFailed_UnknownError},
    {0x28000202, CommandFailed_UnknownError},
    {0x2800020D, CommandFailed_UnknownError},
    {0x28000400, CommandFailed_UnknownError},
    {0x28000405, CommandFailed_UnknownError},
    {0x80004001, CommandFailed_UnknownError},
    {0x80004005, CommandFailed_UnknownError},
    {0x21000001, CommandFailed_UnknownError},
    {0x22000100, CommandFailed_UnknownError},
    {0x00000001, CommandFailed_UnknownError},
    {0xFFFFFFFF, CommandFailed_UnknownError},
};

class TranslationTable : public ::testing::TestWithParam<Row> {};

TEST_P(TranslationTable, GivesTheClientCodeOfTheRow) {
  const Row row = GetParam();
  EXPECT_EQ(TranslateInternalCode(static_cast<stack::Result>(row.internal)), row.client)
      << std::hex << "internal 0x" << row.internal;
}

INSTANTIATE_TEST_SUITE_P(EveryRow, TranslationTable, ::testing::ValuesIn(kTable));

TEST(TranslationNamedCodes, TheStackAndControllerConstantsHaveTheirTableValues) {
  // The names used in the code are the values of the table.
  EXPECT_EQ(TranslateInternalCode(stack::kL4NotImplemented), CommandFailed_UnknownError);
  EXPECT_EQ(TranslateInternalCode(kTavraNotStarted), CommandFailed_NotInitialised);
  EXPECT_EQ(TranslateInternalCode(kTavraClientNotInTable), CommandFailed_ClientNotRegistered);
  EXPECT_EQ(TranslateInternalCode(kTavraInvalidParameter), CommandFailed_InvalidParameter);
  EXPECT_EQ(TranslateInternalCode(kTavraNoResources), CommandFailed_ResourcesLow);
  EXPECT_EQ(TranslateInternalCode(stack::kUnknownKey), CommandFailed_ClientNotRegistered);
}

TEST(TranslationRange, NoInternalCodeLeavesUntranslated) {
  // Every value of the internal ranges comes out as a client code (bit 31 clear, not 0x28...).
  for (std::uint32_t base : {0x28000000u, 0x28000200u, 0x28000400u}) {
    for (std::uint32_t low = 0; low <= 0x20; ++low) {
      const HRESULT out = TranslateInternalCode(static_cast<stack::Result>(base + low));
      EXPECT_NE(static_cast<std::uint32_t>(out) & 0xFF000000u, 0x28000000u);
      EXPECT_FALSE(ResultCodeName(out).empty()) << std::hex << base + low;
    }
  }
}

}  // namespace
}  // namespace tavra::service
