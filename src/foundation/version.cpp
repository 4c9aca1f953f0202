#include "orvik/tilo2/version.h"
