#pragma once
// The texts of tavractl: result codes by name, bytes in hex, the port table and the link status
// block, and the parsing of its number and byte arguments. Pure functions; any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/dbus_proxy/tavra_dbus_proxy.h"
#include "shared/link_status_block.h"
#include "shared/result_codes.h"

namespace tavra::tavractl {

// "S_OK", "CommandFailed_Rejected (0x22000006)", or "0x12345678" for a code without a name.
[[nodiscard]] std::string ResultText(HRESULT code);
// The name alone ("CommandFailed_Rejected"), or "0x12345678".
[[nodiscard]] std::string CodeName(HRESULT code);
// "STATUS_ONLINE", "STATUS_NO_CONNECTION", or "0x12345678".
[[nodiscard]] std::string StatusName(std::int32_t status);
// "01 02 0A" (empty for no bytes).
[[nodiscard]] std::string HexBytes(std::span<const std::uint8_t> bytes);

// Hex digits in pairs, optionally separated by spaces or colons ("0102ff", "01 02 ff",
// "01:02:FF"); empty text is no bytes. Nothing for anything else.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text);
// A decimal or 0x-prefixed hexadecimal number within [min, max].
[[nodiscard]] std::optional<int> ParseNumber(std::string_view text, int min, int max);

[[nodiscard]] std::string PortName(int port);  // "COM3"
[[nodiscard]] std::string PortTableHeader();
// One port in use: "COM3  up    Tavra Windows  1.2.3.4   1".
[[nodiscard]] std::string PortTableLine(const dbus::PortStatus& port);
// "Tavra Windows 1.2.3.4".
[[nodiscard]] std::string ControllerText(const ControllerIdentity& identity);

[[nodiscard]] std::string_view LinkStatusWordName(LinkStatusWord word);
// One line per counter: "  Retransmissions                 0".
[[nodiscard]] std::vector<std::string> LinkStatusLines(const LinkStatusBlock& block);

}  // namespace tavra::tavractl
