// Checks that an installed SDK is usable: the header it compiled against and
// the library it runs with report the same version, and a class is activated
// through the library's C entry points. Exit code 0 when all holds.
//
// With a target ("TCP:<address>") as its argument it also asks that printer
// for its status through a then() chain; without one the chain is only
// compiled, which is what the optimised -Werror builds of it are for: the
// async templates an app instantiates must compile without a warning.
#include <orvik/tilo2/activation.h>
#include <orvik/tilo2/async.h>
#include <orvik/tilo2/printer/printer.h>
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

namespace prn = Orvik::Tilo::Tilo2::Printer;
using StatusOperation =
    Orvik::Tilo::Tilo2::IAsyncOperation<std::shared_ptr<const prn::PrinterStatusInfo>>;

// A step that returns an operation: the chain takes over that operation's
// result, the instance of the async templates that apps use most.
StatusOperation StatusThroughAChain(const std::shared_ptr<prn::Printer>& printer) {
  return printer->GetStatusAsync().then([printer](const StatusOperation& first) -> StatusOperation {
    if (first.get() == nullptr) return first;
    return printer->GetStatusAsync();
  });
}

// Asks the printer at `target` for its status; true when an answer came.
bool StatusOfPrinter(const char* target) {
  const auto printer = prn::Printer::Create(prn::Series::RP_S3, prn::ModelLang::Ank);
  printer->ConnectAsync(target, -2).get();
  const auto status = StatusThroughAChain(printer)
                          .then([](const StatusOperation& chain) {
                            const auto info = chain.get();
                            return info != nullptr && info->Connection() == prn::Connection::True;
                          })
                          .get();
  printer->DisconnectAsync().get();
  std::printf("status of %s: %s\n", target, status ? "connected" : "not connected");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
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
  if (!ActivationWorks()) return 1;
  if (argc > 1) {
    try {
      return StatusOfPrinter(argv[1]) ? 0 : 1;
    } catch (const Orvik::Tilo::Tilo2::RuntimeException& e) {
      std::fprintf(stderr, "status of %s: error 0x%08X\n", argv[1],
                   static_cast<unsigned>(e.HResult()));
      return 1;
    }
  }
  return 0;
}
