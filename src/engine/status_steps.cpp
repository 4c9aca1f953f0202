#include "engine/status_steps.h"
