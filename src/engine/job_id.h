#pragma once
// Job ids: four upper-case hex digits from one process-wide counter, shared by
// print and display jobs.

namespace tilo2::core {

inline constexpr int kJobIdLength = 4;

// Writes the next id ("0000".."0FFE", then "0000" again) into out, without a
// terminator. The printer echoes the id in its job-end reply, so ids of
// outstanding jobs must differ; 4095 is far more than ever queue at once.
// "0000" without advancing the counter when its lock cannot be taken.
void NewPrintJobId(char out[kJobIdLength]);

// The same counter offset by 1000h ("1000".."1FFE"): the leading "1" tells the
// reply analysis that a job end belongs to a display job. "1000" without
// advancing the counter when its lock cannot be taken.
void NewDisplayJobId(char out[kJobIdLength]);

}  // namespace tilo2::core
