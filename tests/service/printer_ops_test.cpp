// Placeholder until the tests of this area land.
#include <gtest/gtest.h>
