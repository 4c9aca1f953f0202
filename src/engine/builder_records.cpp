#include "engine/builder_records.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "encoding/builder/cmd_handle.h"
#include "engine/engine_log.h"
#include "engine/print_result.h"

namespace tilo2::core {

namespace {

char* CopyName(const char* name) {
  const size_t length = std::strlen(name) + 1;
  auto* copy = static_cast<char*>(std::malloc(length));
  if (copy != nullptr) std::memcpy(copy, name, length);
  return copy;
}

void FreePrinterRecord(PrinterBuilder_t* record) {
  if (record->data != nullptr) CmdDataFree(record->data);
  std::free(record->modelName);
  delete record;
}

void FreeDisplayRecord(DisplayBuilder_t* record) {
  if (record->builder != nullptr) DspCmdClose(record->builder);
  std::free(record->modelName);
  delete record;
}

// A job's copy may lack a builder (the original had none to copy), which the
// public destroy refuses; the copy is freed whatever it holds.
void FreePrinterCopy(PrinterBuilder_t* copy) {
  copy->builder.reset();
  FreePrinterRecord(copy);
}

}  // namespace

int TiloCreateBuilder(PrinterBuilder_t** out, const char* modelName, int language) {
  if (out == nullptr) return TILOPRN_PARAMETER_ERROR;
  *out = nullptr;
  if (modelName == nullptr || modelName[0] == '\0' || language < 0 ||
      language > kMaxBuilderLanguage) {
    return TILOPRN_PARAMETER_ERROR;
  }
  auto* record = new (std::nothrow) PrinterBuilder_t{};
  if (record == nullptr || (record->modelName = CopyName(modelName)) == nullptr) {
    EngineErrorLine(kPublicSource, __LINE__);
    if (record != nullptr) FreePrinterRecord(record);
    return TILOPRN_MEMORY_ERROR;
  }
  PrnCmdHandle_t* opened = nullptr;
  const int result = ConvertBuilderResult(PrnCmdOpen(modelName, language, &opened));
  if (result != TILOPRN_SUCCESS) {
    FreePrinterRecord(record);
    return result;
  }
  record->builder = MakeSharedPrnBuilder(opened);
  *out = record;
  return TILOPRN_SUCCESS;
}

int TiloDestroyBuilder(PrinterBuilder_t* builder) {
  if (builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  // The close itself waits for the last owner, so only the handle check can fail here.
  if (builder->builder == nullptr || builder->builder->tag != kPrnCmdTag) {
    return TILOPRN_PARAMETER_ERROR;
  }
  builder->builder.reset();
  FreePrinterRecord(builder);
  return TILOPRN_SUCCESS;
}

int TiloClearBuilder(PrinterBuilder_t* builder) {
  if (builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  return ConvertBuilderResultLenient(PrnCmdClear(builder->builder.get()));
}

int DestroyBuilderData(PrinterBuilder_t* builder) {
  if (builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (builder->data == nullptr) return TILOPRN_SUCCESS;
  const int result = ConvertBuilderResultLenient(CmdDataFree(builder->data));
  builder->data = nullptr;
  return result;
}

int TiloCreateDisplayBuilder(DisplayBuilder_t** out, const char* modelName) {
  if (out == nullptr) return TILOPRN_PARAMETER_ERROR;
  *out = nullptr;
  if (modelName == nullptr || modelName[0] == '\0') return TILOPRN_PARAMETER_ERROR;
  auto* record = new (std::nothrow) DisplayBuilder_t{};
  if (record == nullptr || (record->modelName = CopyName(modelName)) == nullptr) {
    EngineErrorLine(kPublicSource, __LINE__);
    if (record != nullptr) FreeDisplayRecord(record);
    return TILOPRN_MEMORY_ERROR;
  }
  const int result = ConvertBuilderResult(DspCmdOpen(modelName, 0, &record->builder));
  if (result != TILOPRN_SUCCESS) {
    record->builder = nullptr;
    FreeDisplayRecord(record);
    return result;
  }
  *out = record;
  return TILOPRN_SUCCESS;
}

int TiloDestroyDisplayBuilder(DisplayBuilder_t* builder) {
  if (builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  const int result = ConvertBuilderResult(DspCmdClose(builder->builder));
  if (result != TILOPRN_SUCCESS && result != TILOPRN_NOT_SUPPORTED) return result;
  builder->builder = nullptr;
  FreeDisplayRecord(builder);
  return TILOPRN_SUCCESS;
}

int CopyBuilderData(const PrinterBuilder_t* builder, PrinterBuilder_t** out) {
  if (builder == nullptr || out == nullptr) return TILOPRN_PARAMETER_ERROR;
  *out = nullptr;
  auto* copy = new (std::nothrow) PrinterBuilder_t{};
  if (copy == nullptr) return TILOPRN_MEMORY_ERROR;
  bool failed =
      builder->modelName != nullptr && (copy->modelName = CopyName(builder->modelName)) == nullptr;
  if (!failed && builder->builder != nullptr && builder->builder->tag == kPrnCmdTag) {
    copy->builder = MakeSharedPrnBuilder(PrnCmdDuplicate(builder->builder.get()));
    failed = copy->builder == nullptr;
  }
  if (!failed && builder->data != nullptr && builder->data->tag == kCmdDataTag) {
    copy->data = CmdDataDuplicate(builder->data);
    failed = copy->data == nullptr;
  }
  if (failed) {
    FreePrinterCopy(copy);
    return TILOPRN_MEMORY_ERROR;
  }
  *out = copy;
  return TILOPRN_SUCCESS;
}

int CopyDisplayBuilderData(const DisplayBuilder_t* builder, DisplayBuilder_t** out) {
  if (builder == nullptr || out == nullptr) return TILOPRN_PARAMETER_ERROR;
  *out = nullptr;
  auto* copy = new (std::nothrow) DisplayBuilder_t{};
  if (copy == nullptr) return TILOPRN_MEMORY_ERROR;
  bool failed =
      builder->modelName != nullptr && (copy->modelName = CopyName(builder->modelName)) == nullptr;
  if (!failed && builder->builder != nullptr && builder->builder->tag == kDspCmdTag) {
    failed = DspCmdDuplicate(builder->builder, &copy->builder) != 0;
    if (failed) copy->builder = nullptr;
  }
  if (failed) {
    FreeDisplayRecord(copy);
    return TILOPRN_MEMORY_ERROR;
  }
  *out = copy;
  return TILOPRN_SUCCESS;
}

int CopySendData(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  PrinterBuilder_t* printer = nullptr;
  DisplayBuilder_t* display = nullptr;
  if (context->printerBuilder != nullptr &&
      CopyBuilderData(context->printerBuilder, &printer) != TILOPRN_SUCCESS) {
    return TILOPRN_MEMORY_ERROR;
  }
  if (context->displayBuilder != nullptr &&
      CopyDisplayBuilderData(context->displayBuilder, &display) != TILOPRN_SUCCESS) {
    if (printer != nullptr) FreePrinterCopy(printer);
    return TILOPRN_MEMORY_ERROR;
  }
  if (printer != nullptr) context->printerBuilder = printer;
  if (display != nullptr) context->displayBuilder = display;
  return TILOPRN_SUCCESS;
}

void FreeSendData(StepContext_t* context) {
  if (context == nullptr) return;
  if (context->printerBuilder != nullptr) FreePrinterCopy(context->printerBuilder);
  if (context->displayBuilder != nullptr) FreeDisplayRecord(context->displayBuilder);
  context->printerBuilder = nullptr;
  context->displayBuilder = nullptr;
}

}  // namespace tilo2::core
