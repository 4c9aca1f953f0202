// Runtime device class frame: what a synchronous method (an Add call, some
// fifty per receipt) pays around its core call. The core call is a no-op; the
// frame is the handle check, the entry and exit lines' look at the log
// settings and, with logging on, the rendering and writing of both lines.
// The frame's own cost is BM_FrameAroundCoreCall minus BM_CoreCallAlone.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "component/device_frame.h"
#include "foundation/log_settings.h"
#include "orvik/tilo2/platform.h"

using namespace tilo2::core;
using namespace Orvik::Tilo::Tilo2;

namespace {

struct BenchRecord {
  void (*connectionCallback)(BenchRecord*, int32_t, void*) = nullptr;
  void* connectionUserData = nullptr;
};

// Kept out of line so the baseline measures a real call, as a core call is.
__attribute__((noinline)) int32_t NoOpCoreCall(BenchRecord* record, int32_t value) {
  benchmark::DoNotOptimize(record);
  benchmark::DoNotOptimize(value);
  return 0;
}

class BenchDevice;

struct BenchKind {
  using Record = BenchRecord;
  using Device = BenchDevice;
  static constexpr const char* kConstructorName = "Orvik::Tilo::Tilo2::Bench::Device::Device";
  static constexpr const char* kDestructorName = "Orvik::Tilo::Tilo2::Bench::Device::~Device";
  static constexpr const char* kAdminName = "Orvik::Tilo::Tilo2::Bench::Device::Admin::get";
  static constexpr const char* kLocationName = "Orvik::Tilo::Tilo2::Bench::Device::Location::get";
  static constexpr const char* kOnConnectionEventName =
      "Orvik::Tilo::Tilo2::Bench::Device::OnConnectionEvent";
  static void RegisterRecord(BenchRecord*) {}
  static void StoreCallbacks(BenchRecord& record, void* userData) {
    record.connectionCallback = &DeviceFrame<BenchKind>::OnConnectionEvent;
    record.connectionUserData = userData;
  }
  static void DestroyRecord(BenchRecord* record) noexcept { delete record; }
  static void TearDown(BenchRecord* record) noexcept { delete record; }
  static std::string AdminName(const BenchRecord&) { return {}; }
  static std::string LocationName(const BenchRecord&) { return {}; }
  static DeviceFrame<BenchKind>& FrameOf(BenchDevice& device);
};

class BenchDevice final : public Object {
 public:
  static std::shared_ptr<BenchDevice> Create() {
    std::shared_ptr<BenchDevice> device = AdoptDevice(new BenchDevice());
    device->frame_.Construct(device, NoLogArguments, [] { return new BenchRecord(); });
    return device;
  }
  String GetRuntimeClassName() const override { return "Orvik.Tilo.Tilo2.Bench.Device"; }

  // Shaped as an Add method: a string and a number, logged as its arguments.
  void AddValue(const String& text, int32_t value) {
    frame_.Call(
        "Orvik::Tilo::Tilo2::Bench::Device::AddValue",
        [&] {
          return LogArguments{text, value};
        },
        [&](BenchRecord& record) { CommonUtils::ThrowIfFailed(NoOpCoreCall(&record, value)); });
  }
  BenchRecord* Record() const { return frame_.Handle(); }

 private:
  friend struct BenchKind;
  BenchDevice() = default;
  DeviceFrame<BenchKind> frame_;
};

DeviceFrame<BenchKind>& BenchKind::FrameOf(BenchDevice& device) { return device.frame_; }

// A scratch local folder for the log, removed when the benchmark ends.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string templ = (std::filesystem::temp_directory_path() / "tilo2-bench-XXXXXX").string();
    if (::mkdtemp(templ.data()) != nullptr) path_ = templ;
    Platform::SetLocalFolder(String(path_));
  }
  ~ScratchFolder() {
    log_set_settings(path_.c_str(), 0, 0, nullptr, 0, 1, 0);
    Platform::SetLocalFolder(String());
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

void BM_CoreCallAlone(benchmark::State& state) {
  BenchRecord record;
  int32_t value = 0;
  for (auto _ : state) {
    CommonUtils::ThrowIfFailed(NoOpCoreCall(&record, ++value));
  }
}
BENCHMARK(BM_CoreCallAlone);

// Argument: 0 logging off, 1 logging to the file.
void BM_FrameAroundCoreCall(benchmark::State& state) {
  ScratchFolder folder;
  const bool logging = state.range(0) != 0;
  if (logging && log_set_settings(folder.Path().c_str(), 0, 1, nullptr, 0, 50, 0) != 0) {
    state.SkipWithError("logging could not be switched on");
    return;
  }
  std::shared_ptr<BenchDevice> device = BenchDevice::Create();
  const String text("Total 12.50");
  int32_t value = 0;
  for (auto _ : state) {
    device->AddValue(text, ++value);
  }
}
BENCHMARK(BM_FrameAroundCoreCall)->ArgName("logging")->Arg(0)->Arg(1);

}  // namespace
