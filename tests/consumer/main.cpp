// Checks that an installed SDK is usable: the header it compiled against and
// the library it runs with report the same version. Exit code 0 when they do.
#include <orvik/tilo2/version.h>

#include <cstdio>
#include <cstring>

#define TILO2_CONSUMER_STR2(x) #x
#define TILO2_CONSUMER_STR(x) TILO2_CONSUMER_STR2(x)

int main() {
  const char* library = Orvik::Tilo::Tilo2::Version();
  std::printf("header %s, library %s\n", Orvik::Tilo::Tilo2::kSdkVersion,
              library ? library : "(null)");
  if (library == nullptr) return 1;
  const char* fromMacros = "Ver." TILO2_CONSUMER_STR(TILO2_VERSION_MAJOR) "." TILO2_CONSUMER_STR(
      TILO2_VERSION_MINOR) "." TILO2_CONSUMER_STR(TILO2_VERSION_PATCH);
  if (std::strcmp(library, Orvik::Tilo::Tilo2::kSdkVersion) != 0 ||
      std::strcmp(library, TILO2_VERSION_TEXT) != 0 || std::strcmp(library, fromMacros) != 0) {
    std::fprintf(stderr, "version mismatch: header %s (%s), library %s\n", TILO2_VERSION_TEXT,
                 fromMacros, library);
    return 1;
  }
  return 0;
}
