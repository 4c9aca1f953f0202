#include "engine/send_chain.h"
