// Runs a piece of work on a thread of its own with a stack of a chosen size, and waits for it:
// for code (libplist) that recurses once per nesting level of its input, so that the caller's
// thread, whatever its stack, cannot overflow. The stack is address space reserved; only the pages
// the work touches become memory.
#pragma once

#include <cstddef>
#include <functional>

namespace quenlarch {

// Calls `work` on a new thread with a stack of `stackBytes` and returns once it has finished.
// False, without calling it, when no such thread can be started. `work` must not throw.
bool runOnBigStack(std::size_t stackBytes, const std::function<void()>& work);

}  // namespace quenlarch
