#pragma once
// The status values a handle keeps under its locks, and the job-list updates
// that follow a new status word or battery value.

#include <cstdint>

#include "engine/print_handle.h"

namespace tilo2::core {

// Each does nothing (or gives all 0xFF / -1) for a null handle or a lock failure.
void SetRawAsb(PrintHandle_t* handle, const uint8_t bytes[4]);
void GetRawAsb(PrintHandle_t* handle, uint8_t out[4]);
void SetRawExtStatus(PrintHandle_t* handle, const uint8_t bytes[4]);
void SetOfflineResponse(PrintHandle_t* handle, const uint8_t bytes[8]);
void GetOfflineResponseBytes(PrintHandle_t* handle, uint8_t out[8]);
int32_t GetBatteryValue(PrintHandle_t* handle);
void SetBatteryValue(PrintHandle_t* handle, int32_t value);
void SetSendInProgress(PrintHandle_t* handle, uint8_t value);
uint8_t GetSendInProgress(PrintHandle_t* handle);
// Reads a hybrid operation flag under its own lock (0 when the lock fails).
uint8_t ReadLockedFlag(PlatformMutex_t& lock, const uint8_t& flag);

// Error bits 10 and 11 of the stored extended status. 0; 1 for null
// arguments; 255 when the lock fails.
int GetExtStatusBits(PrintHandle_t* handle, bool* extError10, bool* extError11);

// The real-time queries in flight. Note one as it is written; a reply byte
// then goes to the oldest query that can have a reply of its form (DLE EOT
// 18 n answers with bit 2 alone variable; DLE EOT 1..4 with any real-time
// byte). Older queries that cannot have sent it are taken as unanswered, and
// so are queries older than any reply wait. MatchRealtimeReply gives the
// query's index, or -1 when none is in flight.
void NoteRealtimeQuery(PrintHandle_t* handle, int32_t index);
int32_t MatchRealtimeReply(PrintHandle_t* handle, uint8_t reply);
void ForgetRealtimeQueries(PrintHandle_t* handle);

// Every job takes the current statusFlags; a pending job ends with 9 when the
// printer is offline with a reason (unless the extended status decides) and
// with 3 when it does not answer. 0; 1 without handle; 255 on a lock failure.
int UpdateJobStatus(PrintHandle_t* handle);
// Every job takes the current battery value. Results as UpdateJobStatus.
int UpdateJobBattery(PrintHandle_t* handle);

}  // namespace tilo2::core
