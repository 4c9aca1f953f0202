// Received device-service messages: the sink calls must not depend on how the
// stream is cut into reads, every message is handled at most once, the
// framer never holds more than its cap, and no input crashes, leaks or hangs
// the reader. The status-reply reader and the entity decoder get the same
// bytes.
//
// Layout: byte 0 chunking seed; then the stream (NUL-separated messages).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "service/received_messages.h"

using namespace tilo2::core;

namespace {

using Log = std::vector<std::string>;

Log& Of(TdevConnection_t* c) { return *reinterpret_cast<Log*>(c); }

void Add(TdevConnection_t* c, int slot, const char* a = "", const char* b = "", int32_t n = 0) {
  char head[48];
  std::snprintf(head, sizeof head, "%d/%d:", slot, static_cast<int>(n));
  Of(c).push_back(std::string(head) + a + "|" + b);
}

const TdevMessageSinks_t kSinks{
    [](TdevConnection_t* c, const char* id, double) { Add(c, 0, id); },
    [](TdevConnection_t* c, int32_t code) { Add(c, 1, "", "", code); },
    [](TdevConnection_t* c, int32_t code) { Add(c, 2, "", "", code); },
    [](TdevConnection_t* c, int32_t code, const char* n, const char* l) { Add(c, 3, n, l, code); },
    [](TdevConnection_t* c, int32_t code, const char* box, int32_t, int32_t) {
      Add(c, 4, box, "", code);
    },
    [](TdevConnection_t* c, int32_t code, const char* box, int32_t, int32_t) {
      Add(c, 5, box, "", code);
    },
    [](TdevConnection_t* c, int32_t, const char* box, int32_t, TdevCommHistoryItem_t* items,
       int32_t count, int32_t) {
      FUZZ_CHECK(count >= 0 && (count == 0 || items));
      std::string all;
      for (int32_t i = 0; i < count; ++i)
        all += std::string(items[i].senderId) + items[i].receiverId + items[i].message;
      Add(c, 6, box, all.c_str(), count);
    },
    [](TdevConnection_t* c, int32_t, const char* box, int32_t code, int32_t, int32_t) {
      Add(c, 7, box, "", code);
    },
    [](TdevConnection_t* c, int32_t, const char* box, TdevCommHistoryItem_t* item, int32_t) {
      FUZZ_CHECK(item && item->senderId && item->receiverId && item->message);
      Add(c, 8, box, item->message);
    },
    [](TdevConnection_t* c, int32_t code, const char* id, int32_t) { Add(c, 9, id, "", code); },
    [](TdevConnection_t* c, int32_t code, const char* id, int32_t) { Add(c, 10, id, "", code); },
    [](TdevConnection_t* c, int32_t, const char* id, int32_t success, int32_t code, uint32_t,
       int32_t, const char* job, int32_t) {
      FUZZ_CHECK(success == 0 || success == 1);
      FUZZ_CHECK(success == 1 || code != 0);
      Add(c, 11, id, job, code);
    },
    [](TdevConnection_t* c, int32_t, const char* id, const char* type, int32_t length, int32_t,
       int32_t, uint32_t, const char* data) {
      FUZZ_CHECK(length == static_cast<int32_t>(std::string(type).size()));
      Add(c, 12, id, data, length);
    },
    [](TdevConnection_t* c, int32_t, const char* id, int32_t key, const char* ascii, int32_t) {
      Add(c, 13, id, ascii, key);
    },
    [](TdevConnection_t* c, int32_t, const char* id, const char* text, int32_t, int32_t) {
      Add(c, 14, id, text);
    },
    [](TdevConnection_t* c, int32_t, const char* id, const char* text, int32_t) {
      Add(c, 15, id, text);
    },
    [](TdevConnection_t* c, int32_t, const char* id, const uint8_t* bytes, int32_t count, int32_t) {
      FUZZ_CHECK(count >= 0 && count <= TDEV_MAX_PAYLOAD && (count == 0 || bytes));
      Add(c, 16, id,
          std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(count)).c_str(),
          count);
    },
    [](TdevConnection_t* c, int32_t, const char* id, int32_t code, const char* data, int32_t) {
      Add(c, 17, id, data, code);
    },
};

void OnResponse(void* handle, int32_t, const char* deviceId, int32_t success, int32_t, uint32_t,
                int32_t, int32_t) {
  FUZZ_CHECK(deviceId && (success == 0 || success == 1));
  ++*static_cast<int*>(handle);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t seed = in.U8();
  const auto* stream = reinterpret_cast<const char*>(data + (size ? 1 : 0));
  const size_t length = size ? size - 1 : 0;

  // Whole: every complete message once.
  Log whole;
  TdevMessageFramer framer;
  framer.Feed(stream, length, reinterpret_cast<TdevConnection_t*>(&whole), &kSinks);
  FUZZ_CHECK(framer.Pending() <= TdevMessageFramer::kMaxPending);

  // In pieces whose sizes the seed picks: the same calls in the same order.
  Log pieces;
  TdevMessageFramer cut;
  size_t at = 0;
  size_t step = 1 + seed % 13;
  while (at < length) {
    const size_t n = std::min(step, length - at);
    cut.Feed(stream + at, n, reinterpret_cast<TdevConnection_t*>(&pieces), &kSinks);
    FUZZ_CHECK(cut.Pending() <= TdevMessageFramer::kMaxPending);
    at += n;
    step = 1 + (step * 7 + seed) % 61;
  }
  FUZZ_CHECK(pieces == whole);
  FUZZ_CHECK(cut.Pending() == framer.Pending());

  // The same bytes as one status reply, and through the entity decoder.
  int responses = 0;
  const int rc = TdevParsePrinterResponse(stream, length, OnResponse, &responses);
  FUZZ_CHECK(rc >= 0 && rc <= 3 && responses == (rc == 0 ? 1 : 0));
  const std::string text(stream, length);
  std::vector<char> out(text.size() + 1);
  const int32_t n = TdevXmlUnescape(text.c_str(), out.data(), static_cast<int32_t>(out.size()));
  FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) <= std::string(text.c_str()).size());
  return 0;
}
