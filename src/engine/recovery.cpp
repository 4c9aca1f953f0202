#include "engine/recovery.h"
