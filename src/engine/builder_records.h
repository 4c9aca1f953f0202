#pragma once
// The builder records the device API layer keeps per printer or display
// object, and the deep copies a queued job takes of them.

#include <cstdint>

#include "encoding/builder/cmd_data.h"
#include "encoding/display/dsp_cmd_handle.h"
#include "engine/print_handle.h"
#include "engine/step_context.h"

namespace tilo2::core {

struct PrinterBuilder_t {
  // Shared so that the handle can keep a sent job's builder after the job's
  // copy is freed; the last owner closes it.
  SharedPrnBuilder builder;
  CmdData_t* data;  // of the last build; null when none
  char* modelName;  // owned copy
};

struct DisplayBuilder_t {
  DspCmdHandle_t* builder;
  char* modelName;  // owned copy
};

inline constexpr int kMaxBuilderLanguage = 6;

// Results are TiloPrintResult codes (builder results mapped: unknown model 8).
int TiloCreateBuilder(PrinterBuilder_t** out, const char* modelName, int language);
// Also frees the data of the last build.
int TiloDestroyBuilder(PrinterBuilder_t* builder);
int TiloClearBuilder(PrinterBuilder_t* builder);
int DestroyBuilderData(PrinterBuilder_t* builder);
int TiloCreateDisplayBuilder(DisplayBuilder_t** out, const char* modelName);
int TiloDestroyDisplayBuilder(DisplayBuilder_t* builder);

// Deep copies for a queued job: 0, 1 for null arguments, 5 when any part
// cannot be copied (nothing is left behind then).
int CopyBuilderData(const PrinterBuilder_t* builder, PrinterBuilder_t** out);
int CopyDisplayBuilderData(const DisplayBuilder_t* builder, DisplayBuilder_t** out);

// Before a job chain is queued: replaces the context's printer and display
// builders by deep copies (each only when set). 5 on failure, leaving the
// context unchanged.
int CopySendData(StepContext_t* context);
// Frees the copies CopySendData made and clears the pointers.
void FreeSendData(StepContext_t* context);

}  // namespace tilo2::core
