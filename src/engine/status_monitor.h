#pragma once
// The status monitor thread "StatusMonitor" of an open connection: at each
// interval it queues the status steps, and while the printer is silent it
// checks and recovers it instead.

#include <cstdint>

#include "engine/print_handle.h"
#include "engine/step_context.h"

namespace tilo2::core {

inline constexpr const char* kMonitorSource = "tiloprint_common_statusmonitor";
inline constexpr const char* kMonitorTag = "TPSTM";

// 0 started or not wanted; 6 without handle; 5 out of memory; 255 when the
// thread cannot be created or does not begin within 1000 ms.
int StartStatusMonitor(TdcBackendEnv_t* env, PrintHandle_t* handle);
void StopStatusMonitor(PrintHandle_t* handle);
// True on the handle's monitor thread.
bool IsMonitorThread(const PrintHandle_t* handle);
// Hands the first report of a monitoring start (the current status and
// battery, old values unknown) to the monitor thread, which switches the
// events on and raises it: at once while idle after a cycle, else once the
// cycle under way ended. False when no monitor runs to take it.
bool RequestFirstReport(PrintHandle_t* handle);
// Drops a first report not raised yet (monitoring stopped before it).
void CancelFirstReport(PrintHandle_t* handle);
// Wakes the monitor and returns once a cycle that began after the wake ended
// (at once on the monitor thread or when no monitor runs).
void WakeStatusMonitor(PrintHandle_t* handle);
void SetMonitorEnabled(PrintHandle_t* handle, uint8_t enabled);
uint8_t IsMonitorEnabled(PrintHandle_t* handle);
void SignalMonitorCycle(PrintHandle_t* handle);
// One normal cycle's status steps. 0.
int RequestStatusUpdate(PrintHandle_t* handle);
// TCP only: the network interface's clear-connection-timeout request. 0; 1
// without handle.
int QueueClearConnectionTimeout(PrintHandle_t* handle);
// Step "ClearConnectionTimeout".
int32_t ClearConnectionTimeout(StepContext_t* context);

}  // namespace tilo2::core
