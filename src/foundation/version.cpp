#include "orvik/tilo2/version.h"

namespace Orvik::Tilo::Tilo2 {

// Compiled into the library, so it reports the library's version rather than
// the one of whatever header the caller was built with.
const char* Version() noexcept { return kSdkVersion; }

}  // namespace Orvik::Tilo::Tilo2
