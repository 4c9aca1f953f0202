#pragma once
// The base of every runtime class.
// Threads, handlers and what a handler may call: docs/threading.md.

#include "orvik/tilo2/export.h"
#include "orvik/tilo2/module.h"
#include "orvik/tilo2/string.h"

namespace Orvik::Tilo::Tilo2 {

class TILO2_EXPORT Object {
 public:
  virtual ~Object();

  // The full runtime class name, for example "Orvik.Tilo.Tilo2.Printer.Printer".
  virtual String GetRuntimeClassName() const = 0;

 protected:
  Object();
  Object(const Object&) = default;
  Object& operator=(const Object&) = default;

 private:
  // A live object keeps the library from being unloaded.
  detail::ModuleReference module_;
};

}  // namespace Orvik::Tilo::Tilo2
