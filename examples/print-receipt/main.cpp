// Prints a receipt through the public Printer class: connect to a network
// printer, build the receipt (styled text, a logo image, an EAN-13 barcode, a
// QR code, a cut), send it, and wait for the job's result as the Received
// event. Prints the result and exits non-zero on any failure.
//
//     print-receipt                 # prints to 127.0.0.250 (tools/run-example.sh
//                                   # starts the bundled printer emulator there)
//     print-receipt 127.0.0.9       # or to a printer (or emulator) elsewhere
//     print-receipt 9               # the same as 127.0.0.9
#include <orvik/tilo2/callback_code.h>
#include <orvik/tilo2/exceptions.h>
#include <orvik/tilo2/log.h>
#include <orvik/tilo2/printer/printer.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "receipt.h"

namespace {

namespace tilo = Orvik::Tilo::Tilo2;
namespace prn = Orvik::Tilo::Tilo2::Printer;

constexpr const char* kDefaultAddress = "127.0.0.250";
constexpr auto kResultDeadline = std::chrono::seconds(30);

// Member names from the enumerations' own lists.
#define NAME_CASE(name, value, coreValue) \
  case value:                             \
    return #name;
#define NO_ROW(value, coreValue)
#define NAME_OF(Type, LIST)            \
  const char* NameOf(Type v) {         \
    switch (static_cast<int32_t>(v)) { \
      LIST(NAME_CASE, NO_ROW)          \
      default:                         \
        return "?";                    \
    }                                  \
  }
NAME_OF(tilo::CallbackCode, TILO2_CALLBACK_CODE_LIST)
NAME_OF(prn::Connection, TILO2_PRINTER_CONNECTION_LIST)
NAME_OF(prn::Online, TILO2_PRINTER_ONLINE_LIST)
NAME_OF(prn::CoverOpen, TILO2_PRINTER_COVER_OPEN_LIST)
NAME_OF(prn::Paper, TILO2_PRINTER_PAPER_LIST)
NAME_OF(prn::PanelSwitch, TILO2_PRINTER_PANEL_SWITCH_LIST)
NAME_OF(prn::PaperFeed, TILO2_PRINTER_PAPER_FEED_LIST)
NAME_OF(prn::WaitOnline, TILO2_PRINTER_WAIT_ONLINE_LIST)
NAME_OF(prn::DrawerStatus, TILO2_PRINTER_DRAWER_STATUS_LIST)
NAME_OF(prn::PrinterErrorStatus, TILO2_PRINTER_ERROR_STATUS_LIST)
NAME_OF(prn::AutoRecoverError, TILO2_PRINTER_AUTO_RECOVER_ERROR_LIST)
NAME_OF(prn::Buzzer, TILO2_PRINTER_BUZZER_LIST)
NAME_OF(prn::Adapter, TILO2_PRINTER_ADAPTER_LIST)
NAME_OF(prn::BatteryLevel, TILO2_PRINTER_BATTERY_LEVEL_LIST)
#undef NAME_OF
#undef NO_ROW
#undef NAME_CASE

// The Received event arrives on one of the library's threads.
struct Result {
  std::mutex mutex;
  std::condition_variable arrived;
  std::shared_ptr<const prn::ReceivedEventArgs> args;
};

void PrintResult(const prn::ReceivedEventArgs& args) {
  std::printf("Received: Code %s, PrintJobId \"%s\"\n", NameOf(args.Code()),
              args.PrintJobId().utf8().c_str());
  const auto& s = args.Status();
  if (!s) {
    std::printf("  no status\n");
    return;
  }
  std::printf("  Connection %s, Online %s, CoverOpen %s, Paper %s, PanelSwitch %s,\n",
              NameOf(s->Connection()), NameOf(s->Online()), NameOf(s->CoverOpen()),
              NameOf(s->Paper()), NameOf(s->PanelSwitch()));
  std::printf("  PaperFeed %s, WaitOnline %s, Drawer %s, ErrorStatus %s, AutoRecoverError %s,\n",
              NameOf(s->PaperFeed()), NameOf(s->WaitOnline()), NameOf(s->Drawer()),
              NameOf(s->ErrorStatus()), NameOf(s->AutoRecoverError()));
  std::printf("  Buzzer %s, Adapter %s, BatteryLevel %s\n", NameOf(s->Buzzer()),
              NameOf(s->Adapter()), NameOf(s->BatteryLevel()));
}

// "9" is short for "127.0.0.9"; anything else is taken as the address.
std::string AddressFrom(const char* arg) {
  const std::string text = arg;
  if (!text.empty() && text.size() <= 3 &&
      text.find_first_not_of("0123456789") == std::string::npos)
    return "127.0.0." + text;
  return text;
}

int Run(const std::string& address) {
  const std::string target = "TCP:" + address;
  auto printer = prn::Printer::Create(prn::Series::RP_S3, prn::ModelLang::Ank);
  Result result;
  const tilo::EventToken token =
      printer->Received([&result](const std::shared_ptr<prn::Printer>&,
                                  const std::shared_ptr<const prn::ReceivedEventArgs>& args) {
        std::lock_guard lock(result.mutex);
        if (!result.args) result.args = args;
        result.arrived.notify_all();
      });

  std::printf("connecting to %s\n", target.c_str());
  printer->ConnectAsync(target.c_str(), -2).get();
  receipt::Build(*printer);
  printer->SendDataAsync(-2).get();
  std::printf("sent the receipt; waiting for the print result\n");

  std::shared_ptr<const prn::ReceivedEventArgs> args;
  {
    std::unique_lock lock(result.mutex);
    result.arrived.wait_for(lock, kResultDeadline, [&] { return result.args != nullptr; });
    args = result.args;
  }
  printer->Received(token);
  printer->DisconnectAsync().get();
  std::printf("disconnected\n");
  if (!args) {
    std::fprintf(stderr, "print-receipt: no print result within %lld s\n",
                 static_cast<long long>(kResultDeadline.count()));
    return 1;
  }
  PrintResult(*args);
  return args->Code() == tilo::CallbackCode::Success ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: print-receipt [address | N for 127.0.0.N]\n");
    return 2;
  }
  const std::string address = AddressFrom(argc == 2 ? argv[1] : kDefaultAddress);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // in order with stderr when piped
  std::printf("Tilo2 SDK %s\n", tilo::Log::GetSdkVersion().utf8().c_str());
  try {
    return Run(address);
  } catch (const tilo::RuntimeException& e) {
    std::fprintf(stderr, "print-receipt: failed with %08X (%s)\n",
                 static_cast<uint32_t>(e.HResult()), e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "print-receipt: failed: %s\n", e.what());
  }
  return 1;
}
