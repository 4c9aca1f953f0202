// The smallest thing that shows the SDK working; it grows into a receipt printed
// to the printer emulator as the print path comes together.
#include <cstdio>

#include "orvik/tilo2/version.h"

int main() {
  std::printf("Tilo2 SDK %s\n", orvik::tilo2::kSdkVersion);
  return 0;
}
