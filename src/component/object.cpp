#include "orvik/tilo2/object.h"

#include <atomic>
#include <cstdint>

#include "component/activation.h"
#include "orvik/tilo2/module.h"

namespace tilo2::core {

namespace {

std::atomic<int64_t> moduleReferences{0};

}  // namespace

int64_t ModuleAliveCount() noexcept { return moduleReferences.load(std::memory_order_acquire); }

}  // namespace tilo2::core

namespace Orvik::Tilo::Tilo2 {

namespace detail {

void AddModuleReference() noexcept {
  tilo2::core::moduleReferences.fetch_add(1, std::memory_order_relaxed);
}

// Release ordering, so an unload decided on a count of zero sees every owner's
// last use finished.
void ReleaseModuleReference() noexcept {
  tilo2::core::moduleReferences.fetch_sub(1, std::memory_order_acq_rel);
}

}  // namespace detail

// Out of line so the vtable and type information live in the library, and a
// dynamic_cast in an app agrees with one in the library.
Object::Object() = default;
Object::~Object() = default;

}  // namespace Orvik::Tilo::Tilo2
