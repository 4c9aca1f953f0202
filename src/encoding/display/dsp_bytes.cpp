#include "encoding/display/dsp_bytes.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <new>

#include "encoding/builder/cmd_codec.h"
#include "encoding/le_bytes.h"
#include "encoding/test_hooks.h"

namespace tilo2::core {

namespace {
using namespace tilo2_bytes;

uint8_t Byte(long value) { return static_cast<uint8_t>(value); }

// ceil(value / unit) for a non-negative value, negative values as 0.
long CeilDiv(long value, long unit) { return value <= 0 ? 0 : (value + unit - 1) / unit; }

int SystemClock(int* hour, int* minute) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &local) == nullptr) return 1;
  *hour = local.tm_hour;
  *minute = local.tm_min;
  return 0;
}

std::atomic<DspLocalClockFn> localClock{SystemClock};

}  // namespace

void DspBeginBytes(std::vector<uint8_t>& out) { Put(out, {0x1B, 0x3D, 0x02}); }

void DspEndBytes(std::vector<uint8_t>& out, const char processId[4]) {
  Put(out, {0x1B, 0x3D, 0x01, 0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30});
  PutBytes(out, reinterpret_cast<const uint8_t*>(processId), 4);
}

void DspResetBytes(std::vector<uint8_t>& out, int hour, int minute) {
  Put(out, {0x1B, 0x40, 0x1F, 0x54, Byte(hour), Byte(minute), 0x1B, 0x52, 0x00, 0x1F, 0x28, 0x47,
            0x02, 0x00, 0x60, 0x00, 0x0C});
}

void DspCreateWindowBytes(std::vector<uint8_t>& out, int window, int x, int y, int width,
                          int height, int scroll) {
  const uint8_t s = scroll == 1 ? 2 : scroll == 2 ? 3 : 1;
  Put(out, {0x1B, 0x57, Byte(window), 0x01, Byte(x), Byte(y), Byte(x + width - 1),
            Byte(y + height - 1), 0x1F, 0x24, Byte(x), Byte(y), 0x1F, s});
}

void DspDestroyWindowBytes(std::vector<uint8_t>& out, int window) {
  Put(out, {0x1B, 0x57, Byte(window), 0x00});
}

void DspClearBytes(std::vector<uint8_t>& out) { out.push_back(0x0C); }

void DspCursorPositionBytes(std::vector<uint8_t>& out, int x, int y) {
  Put(out, {0x1F, 0x24, Byte(x), Byte(y)});
}

void DspMoveCursorBytes(std::vector<uint8_t>& out, int position) {
  switch (position) {
    case 1:
      Put(out, {0x0B, 0x1F, 0x0D});
      break;
    case 2:
      Put(out, {0x1F, 0x42, 0x0D});
      break;
    case 3:
      Put(out, {0x1F, 0x42});
      break;
    default:
      out.push_back(0x0B);
      break;
  }
}

void DspCursorTypeBytes(std::vector<uint8_t>& out, int type) {
  Put(out, {0x1F, 0x43, Byte(type != 0 ? 1 : 0)});
}

void DspReverseBytes(std::vector<uint8_t>& out, int on) {
  Put(out, {0x1F, 0x72, Byte(on == 1 ? 1 : 0)});
}

void DspBlinkBytes(std::vector<uint8_t>& out, long intervalMs) {
  const long n = CeilDiv(intervalMs, 50);
  Put(out, {0x1F, 0x45, Byte(n < 255 ? n : 254)});
}

void DspBrightnessBytes(std::vector<uint8_t>& out, int level) {
  uint8_t n = 4;
  if (level == 1 || level == 2)
    n = 3;
  else if (level == 3)
    n = 2;
  else if (level == 4)
    n = 1;
  Put(out, {0x1F, 0x58, n});
}

void DspShowClockBytes(std::vector<uint8_t>& out) { Put(out, {0x1F, 0x55}); }

void DspLanguagePrefix(std::vector<uint8_t>& out, int language) {
  struct Prefix {
    uint8_t t, r, k, j;
  };
  static constexpr Prefix kPrefixes[] = {
      {0, 0, 0, 0}, {1, 8, 1, 1}, {0, 15, 0, 1}, {0, 0, 0, 1}, {0, 13, 0, 1}};
  const Prefix p = language >= 1 && language <= 4 ? kPrefixes[language] : kPrefixes[0];
  Put(out, {0x1B, 0x74, p.t, 0x1B, 0x52, p.r,  0x1F, 0x28, 0x47, 0x02,
            0x00, 0x61, p.k, 0x1F, 0x28, 0x47, 0x02, 0x00, 0x60, p.j});
}

void DspMarqueePrefixBytes(std::vector<uint8_t>& out, int format) {
  Put(out, {0x1F, 0x03, 0x1F, 0x3A, 0x0C});
  if (format != 1) Put(out, {0x1F, 0x0D});
}

void DspMarqueeSuffixBytes(std::vector<uint8_t>& out, long unitWaitMs, long repeatWaitMs) {
  const long n = std::min(CeilDiv(unitWaitMs, 20), 255L);
  const long m = std::min(CeilDiv(repeatWaitMs, 50), 255L);
  Put(out, {0x1F, 0x3A, 0x1F, 0x5E, Byte(n), Byte(m)});
}

int DspEncodeText(std::vector<uint8_t>& out, int language, int16_t converter, const char* text,
                  size_t length) {
  if (text == nullptr) return -1;
  if (length == 0) return 0;
  uint8_t* block = nullptr;
  int size = 0;
  if (int rc = CmdEncodeText(language, converter, text, length, &block, &size); rc != 0) return rc;
  int rc = 0;
  try {
    out.insert(out.end(), block, block + size);
  } catch (const std::bad_alloc&) {
    rc = 3;
  }
  std::free(block);
  return rc;
}

void DspSetLocalClock(DspLocalClockFn clock) { localClock.store(clock ? clock : SystemClock); }

int DspReadLocalClock(int* hour, int* minute) {
  int h = 0, m = 0;
  if (localClock.load()(&h, &m) != 0 || h < 0 || h > 23 || m < 0 || m > 59) return 3;
  *hour = h;
  *minute = m;
  return 0;
}

}  // namespace tilo2::core
