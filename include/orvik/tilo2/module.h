#pragma once
// What keeps the library in use: every runtime object, activation factory and
// asynchronous operation holds one module reference while it lives.
// DllCanUnloadNow answers from their count.
// Threads, handlers and what a handler may call: docs/threading.md.

#include "orvik/tilo2/export.h"

namespace Orvik::Tilo::Tilo2::detail {

TILO2_EXPORT void AddModuleReference() noexcept;
TILO2_EXPORT void ReleaseModuleReference() noexcept;

// Holds one module reference for its owner's lifetime; a copy holds its own.
class ModuleReference {
 public:
  ModuleReference() noexcept { AddModuleReference(); }
  ModuleReference(const ModuleReference&) noexcept { AddModuleReference(); }
  ModuleReference& operator=(const ModuleReference&) noexcept { return *this; }
  ~ModuleReference() { ReleaseModuleReference(); }
};

}  // namespace Orvik::Tilo::Tilo2::detail
