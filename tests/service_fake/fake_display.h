#pragma once
// The scripted client's line display side for tests: the documents its sends
// carried, and the job-result notifier fired on a thread of the fake.

#include <cstdint>
#include <vector>

#include "service_fake/fake_service.h"

namespace tilo2::fake {

// Each TdevDisplaySendData that answered 0 keeps a copy of the document it sent.
struct DisplayJob {
  const void* handle = nullptr;
  std::vector<Call> document;
};
std::vector<DisplayJob> DisplayJobs();
// Forgets the display jobs and turns the automatic result off; call it with Reset().
void ResetDisplay();

// Whether TdevDisplaySetReceiveCallback installed the notifier on a live handle.
bool IsDisplayReceiveInstalled(const void* handle);
// Calls the installed job-result notifier on a new thread of the fake and
// returns once it returned; false (nothing called) when it is not installed.
bool FireDisplayResult(const void* handle, int32_t success, int32_t code);
// When on, every TdevDisplaySendData that answers 0 is followed, on a fake
// thread, by the job-result notifier with (success, code) (not waited for;
// see WaitIdle).
void SetAutoDisplayResult(bool on, int32_t success = 1, int32_t code = 0);

}  // namespace tilo2::fake
