#include "engine/exchange.h"
