// Checks that an installed SDK is usable: the header it compiled against and
// the library it runs with report the same version, and a class is activated
// through the library's C entry points. Exit code 0 when all holds.
#include <orvik/tilo2/activation.h>
#include <orvik/tilo2/version.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#define TILO2_CONSUMER_STR2(x) #x
#define TILO2_CONSUMER_STR(x) TILO2_CONSUMER_STR2(x)

namespace {

bool ActivationWorks() {
  namespace api = Orvik::Tilo::Tilo2;
  api::IActivationFactory* factory = nullptr;
  if (DllGetActivationFactory(u"Orvik.Tilo.Tilo2.ErrorStatus", &factory) != api::kSOk ||
      factory == nullptr) {
    std::fprintf(stderr, "no factory for Orvik.Tilo.Tilo2.ErrorStatus\n");
    return false;
  }
  std::shared_ptr<api::Object> instance;
  const int32_t activated = factory->ActivateInstance(&instance);
  const bool heldWhileAlive = DllCanUnloadNow() == api::kSFalse;
  factory->Release();
  if (activated != api::kENotImpl || !heldWhileAlive || DllCanUnloadNow() != api::kSOk) {
    std::fprintf(stderr, "activation: instance 0x%08X, library held %d, unloadable %d\n",
                 static_cast<unsigned>(activated), heldWhileAlive, DllCanUnloadNow());
    return false;
  }
  return true;
}

}  // namespace

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
  return ActivationWorks() ? 0 : 1;
}
