#pragma once
// Wait objects: one result carried from the thread that produces it to the one
// thread that waits for it. They are named by numeric ids, so a queued request
// carries one as a plain integer and a signal for an object that has gone
// already does nothing.

#include <cstdint>

namespace tilo2::core {

// Never 0 and never 0xFFFFFFFF; unique among the live objects. 0 on failure.
uint64_t CreateWaitObject();
// Stores the result and marks the object done; an unknown id is ignored.
void SignalWaitObject(uint64_t id, int32_t result);
// 0 signalled (or unknown id, result untouched), 138 timed out, 4 any other
// failure. timeoutMs -1 waits without limit. A done object answers at once.
int WaitForWaitObject(uint64_t id, int timeoutMs, int32_t* result);
// Wakes a thread still waiting (result 0) and frees the object; unknown ids
// are ignored.
void DeleteWaitObject(uint64_t id);

}  // namespace tilo2::core
