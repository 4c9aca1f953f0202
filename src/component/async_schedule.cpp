#include <utility>

#include "component/thread_pool.h"
#include "orvik/tilo2/async.h"

namespace Orvik::Tilo::Tilo2::detail {

void ScheduleOnPool(std::function<void()> work) { tilo2::core::PoolSubmit(std::move(work)); }

}  // namespace Orvik::Tilo::Tilo2::detail
