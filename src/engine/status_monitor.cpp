#include "engine/status_monitor.h"
