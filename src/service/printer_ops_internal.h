#pragma once
// What the document builders of the printer and the display and the
// printer's job operations share.

#include <cstdint>
#include <memory>

#include "service/device_handles.h"
#include "service/request_messages.h"

namespace tilo2::core {

// A handle held for one operation, with the document it carries.
struct TdevDocumentRef {
  std::shared_ptr<TdevHandleBase_t> handle;
  TdevDocument_t* document = nullptr;
  int result = 0;  // 0, 1 no such handle, 255 a handle without a document
};

// The live handle behind a pointer (printer, hybrid printer or display) and
// its document.
TdevDocumentRef TdevDocumentOf(const void* handle);

// An element writer's result as the builders answer it: 0, 1 refused, 12 no
// memory, -1 a document of another kind.
int TdevFromBuilderResult(int built);

// Drawer 0 or 1 and pulse time 0..4 as they are, -2 the first of each.
bool TdevMapPulse(int32_t drawer, int32_t time, int32_t* drawerIndex, int32_t* timeIndex);

}  // namespace tilo2::core
