#pragma once
// The process-wide cookie counter. Cookies number transactions, connection requests and
// answer records (response ids) across every transport layer of the process, so that a
// transmit result or a client's answer can be matched to exactly one of them.
//
// Any thread; lock-free. Values start at 1 and stay positive: after 0x7FFFFFFF the counter
// wraps to 1. It never hands out 0, the cookie of frames that want no outcome.

#include <cstdint>

namespace tavra::stack {

[[nodiscard]] std::int32_t NextL4Cookie();

}  // namespace tavra::stack
