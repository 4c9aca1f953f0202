#pragma once
// Print job ids: four upper-case hex digits from one process-wide counter.

namespace tilo2::core {

inline constexpr int kJobIdLength = 4;

// Writes the next id ("0000".."0FFE", then "0000" again) into out, without a
// terminator. The printer echoes the id in its job-end reply, so ids of
// outstanding jobs must differ; 4095 is far more than ever queue at once.
void NewPrintJobId(char out[kJobIdLength]);

}  // namespace tilo2::core
