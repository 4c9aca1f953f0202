#include "engine/hybrid_steps.h"
