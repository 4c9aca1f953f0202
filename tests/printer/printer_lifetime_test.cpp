// A Printer's lifetime against the operations it started, the command list
// shared by an app thread and a sending thread, and activation by name.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "component/run_async.h"
#include "device/printer_access.h"
#include "engine/print_handle.h"
#include "orvik/tilo2/activation.h"
#include "orvik/tilo2/imaging.h"
#include "printer_test_support.h"

namespace printer_test {
namespace {

// A frame whose pixel data arrives only once the test lets it go.
class HeldFrame final : public Imaging::IBitmapFrame {
 public:
  HeldFrame(uint32_t width, uint32_t height) : width_(width), height_(height) {}
  uint32_t PixelWidth() const override { return width_; }
  uint32_t PixelHeight() const override { return height_; }
  IAsyncOperation<std::vector<uint8_t>> GetPixelDataAsync() override {
    requested_.Set();
    auto release = release_;
    const size_t size = static_cast<size_t>(width_) * height_ * 4;
    return ::tilo2::core::RunAsync([release, size] {
      release->Wait();
      return std::vector<uint8_t>(size, 0xFF);  // opaque white
    });
  }
  String GetRuntimeClassName() const override { return "Orvik.Tilo.Tilo2.Test.HeldFrame"; }

  Signal& Requested() { return requested_; }
  void Release() { release_->Set(); }

 private:
  uint32_t width_;
  uint32_t height_;
  Signal requested_;
  std::shared_ptr<Signal> release_ = std::make_shared<Signal>();
};

class PrinterLifetime : public PrinterTest {};

TEST_F(PrinterLifetime, ReleasedWhileAnImageWaitsForItsPixels) {
  auto frame = std::make_shared<HeldFrame>(8, 8);
  auto printer = Printer::Create(Series::RP_S3, ModelLang::Ank);
  std::weak_ptr<Printer> weak = printer;
  IAsyncAction action = printer->AddImageAsync(frame, 0, 0, 8, 8, Color::Default, Mode::Mono,
                                               Halftone::Default, -2.0, Compression::Default);
  ASSERT_TRUE(frame->Requested().Wait());
  printer.reset();
  EXPECT_FALSE(weak.expired());  // the operation holds its printer
  frame->Release();
  action.get();
  EXPECT_EQ(action.Status(), AsyncStatus::Completed);
  EXPECT_TRUE(Eventually([&] { return weak.expired(); }));
}

TEST_F(PrinterLifetime, ReleasedWhileATransactionEnds) {
  ASSERT_NO_FATAL_FAILURE(Start(569));
  auto printer = Printer::Create(Series::RP_S3, ModelLang::Ank);
  std::weak_ptr<Printer> weak = printer;
  printer->ConnectAsync(String(target_), -2).get();
  printer->BeginTransactionAsync().get();
  // The end's checks wait for the printer's answers for a while.
  emulator_->setReplyDelay(printer_emulator::ReplyClass::Realtime, std::chrono::milliseconds(300));
  IAsyncAction end = printer->EndTransactionAsync();
  printer.reset();
  EXPECT_EQ(ResultOf(end), 0);
  EXPECT_TRUE(Eventually([&] { return weak.expired(); }));
  // Torn down: disconnected, the address free again.
  EXPECT_TRUE(emulator_->waitForNoClient(std::chrono::seconds(30)));
}

// One thread rebuilds the receipt again and again while another sends: every
// job is a run of one receipt's lines from its first on, never a torn one.
TEST_F(PrinterLifetime, AppendsAndClearsWhileAnotherThreadSends) {
  auto printer = Connected(570);
  std::atomic<bool> done{false};
  std::atomic<int> receipts{0};
  std::thread builder([&] {
    for (int n = 0; !done.load(); ++n, ++receipts) {
      printer->ClearCommandBuffer();
      for (int k = 0; k < 10 && !done.load(); ++k) {
        char line[32];
        std::snprintf(line, sizeof line, "R%d:%d\n", n, k);
        printer->AddText(String(line));
      }
    }
  });
  EXPECT_TRUE(Eventually([&] { return receipts.load() > 0; }));
  size_t sent = 0;
  for (int i = 0; i < 200 && sent < 20; ++i) {
    const int32_t result = ResultOf(printer->SendDataAsync(-2));
    if (result == 0) {
      ++sent;
    } else {
      EXPECT_EQ(result, ErrorStatus::ErrIllegalState);  // caught between a clear and an add
    }
  }
  done = true;
  builder.join();
  ASSERT_GT(sent, 0u);
  ASSERT_TRUE(recorder_.WaitResults(sent));
  for (const auto& r : recorder_.Results()) EXPECT_EQ(r.code, CallbackCode::Success);

  const auto bytes = PrinterBytes(*emulator_);
  const std::string text(bytes.begin(), bytes.end());
  const std::regex line("R([0-9]+):([0-9]+)\n");
  size_t jobs = 0;
  long lastN = -1;
  long lastK = -1;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator();
       ++it) {
    const long n = std::stol((*it)[1]);
    const long k = std::stol((*it)[2]);
    if (k == 0) {
      ++jobs;
    } else {
      EXPECT_EQ(n, lastN) << "a line of another receipt inside a job";
      EXPECT_EQ(k, lastK + 1) << "a job with a gap";
    }
    lastN = n;
    lastK = k;
  }
  EXPECT_EQ(jobs, sent);
  printer->DisconnectAsync().get();
}

TEST_F(PrinterLifetime, ActivatedByNameAndFactoryItPrints) {
  ASSERT_NO_FATAL_FAILURE(Start(571));
  IActivationFactory* factory = nullptr;
  ASSERT_EQ(DllGetActivationFactory(u"Orvik.Tilo.Tilo2.Printer.Printer", &factory), kSOk);
  ASSERT_NE(factory, nullptr);
  std::shared_ptr<Object> object;
  EXPECT_EQ(factory->ActivateInstance(&object), kENotImpl);  // no default constructor
  auto* printers = dynamic_cast<IPrinterFactory*>(factory);
  ASSERT_NE(printers, nullptr);
  std::shared_ptr<Printer> printer;
  EXPECT_EQ(printers->CreateInstance(static_cast<Series>(19), ModelLang::Ank, &printer),
            ErrorStatus::ErrParameter);
  EXPECT_EQ(printer, nullptr);
  EXPECT_EQ(printers->CreateInstance(Series::RP_S3, ModelLang::Ank, nullptr), kEPointer);
  ASSERT_EQ(printers->CreateInstance(Series::RP_S3, ModelLang::Ank, &printer), kSOk);
  factory->Release();
  ASSERT_NE(printer, nullptr);
  EXPECT_EQ(printer->GetRuntimeClassName(), String("Orvik.Tilo.Tilo2.Printer.Printer"));

  recorder_.Attach(*printer);
  printer->ConnectAsync(String(target_), -2).get();
  printer->AddText("activated 571\n");
  printer->AddCut(Cut::Feed);
  printer->SendDataAsync(-2).get();
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::Success);
  EXPECT_EQ(Count(PrinterBytes(*emulator_), "activated 571"), 1u);
  printer->DisconnectAsync().get();
}

TEST(PrinterConstruction, RefusedArgumentsMakeNoPrinter) {
  EXPECT_EQ(HResultOf([] { Printer::Create(static_cast<Series>(19), ModelLang::Ank); }),
            ErrorStatus::ErrParameter);
  EXPECT_EQ(HResultOf([] { Printer::Create(Series::RP_S3, static_cast<ModelLang>(7)); }),
            ErrorStatus::ErrParameter);
  EXPECT_EQ(HResultOf([] { Printer::Create(static_cast<Series>(-1), ModelLang::Ank); }),
            ErrorStatus::ErrParameter);
  auto printer = Printer::Create(Series::RP_B2, ModelLang::SouthAsia);
  EXPECT_EQ(printer->Interval(), 3000);
}

}  // namespace
}  // namespace printer_test

namespace printer_test {
namespace {

class PrinterFrameLines : public PrinterTest {};

TEST_F(PrinterFrameLines, ConstructorDestructorAndInterval) {
  use_file();
  const void* record = nullptr;
  {
    auto printer = Printer::Create(Series::RP_S3, ModelLang::Japanese);
    record = RecordOf(*printer);
    EXPECT_EQ(printer->Interval(), 3000);
    EXPECT_EQ(HResultOf([&] { printer->Interval(999); }), ErrorStatus::ErrParameter);
    EXPECT_EQ(printer->Interval(), 3000);
    printer->Interval(-2);
    EXPECT_EQ(printer->Interval(), -2);
  }
  const std::string ctor = PrinterName("Printer");
  const std::string dtor = PrinterName("~Printer");
  EXPECT_EQ(LinesOf(ctor), (std::vector<std::string>{
                               Entry(nullptr, ctor, "(RP_S3, Japanese)"),
                               Exit(record, 0, ctor, "(RP_S3, Japanese)"),
                           }));
  EXPECT_EQ(LinesOf(dtor), (std::vector<std::string>{Entry(record, dtor, "()")}));
  // The getter writes nothing; the setter logs under the CommonPrinter's name.
  EXPECT_TRUE(LinesOf(PrinterName("Interval::get")).empty());

  EXPECT_EQ(HResultOf([] { Printer::Create(static_cast<Series>(19), ModelLang::Ank); }),
            ErrorStatus::ErrParameter);
  EXPECT_EQ(LastLineOf(ctor), Exit(nullptr, ErrorStatus::ErrParameter, ctor,
                                   "(Orvik.Tilo.Tilo2.Printer.Series, Ank)"));
}

// A value set while closed reaches the engine with the next connect.
TEST_F(PrinterFrameLines, IntervalSetWhileClosedIsUsedAfterTheConnect) {
  ASSERT_NO_FATAL_FAILURE(Start(572));
  auto printer = NewPrinter();
  printer->Interval(1500);
  printer->ConnectAsync(String(target_), -2).get();
  auto* handle = static_cast<::tilo2::core::PrintHandle_t*>(
      ::tilo2::core::TdcReadPrinterState(RecordOf(*printer)).handle);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(::tilo2::core::GetMonitorInterval(handle), 1500);
  printer->Interval(60000);
  EXPECT_EQ(::tilo2::core::GetMonitorInterval(handle), 60000);
  printer->DisconnectAsync().get();
}

}  // namespace
}  // namespace printer_test

namespace printer_test {
namespace {

// Released with a job still out: the connection is closed once the job ended,
// not left open for the life of the process, so the address can be used again.
TEST_F(PrinterLifetime, ReleasedWithAJobOutClosesItsConnectionOnceTheJobEnds) {
  ASSERT_NO_FATAL_FAILURE(Start(574));
  auto printer = Printer::Create(Series::RP_S3, ModelLang::Ank);
  printer->ConnectAsync(String(target_), -2).get();
  emulator_->state().withModel([](printer_emulator::PrinterModel& m) { m.setHoldPrinting(true); });
  printer->AddText("held 574\n");
  printer->SendDataAsync(30000).get();
  ASSERT_TRUE(Eventually([&] { return Count(PrinterBytes(*emulator_), "held 574") == 1; }));
  printer.reset();
  emulator_->state().withModel([](printer_emulator::PrinterModel& m) { m.setHoldPrinting(false); });
  EXPECT_TRUE(emulator_->waitForNoClient(std::chrono::seconds(30)));

  auto next = NewPrinter();
  recorder_.Attach(*next);
  next->ConnectAsync(String(target_), -2).get();
  next->AddText("next 574\n");
  next->SendDataAsync(-2).get();
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::Success);
  next->DisconnectAsync().get();
}

}  // namespace
}  // namespace printer_test
