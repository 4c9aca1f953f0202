// The device service's HTTP replies and the JSON answers they carry: the
// reply-head reader, the chunked-body decoder and the three JSON readers
// (device list, port list, system version). No input crashes, leaks or hangs
// them or makes them read past the bytes they were given, and each keeps the
// properties the client relies on:
// - a head is found exactly when its empty line is there, bytes after it do
//   not change it, and a reply that ends with its head says so;
// - the chunked decoder, fed a growing reply as the client reads it, never
//   changes its mind: a prefix that ends (complete, malformed, too large)
//   ends the same way as the whole, with the same body, never above the cap;
// - the JSON readers ignore trailing blanks, agree on what is an object, and
//   read one object as a device list of that one record.
//
// Layout: the whole input is the text. It goes through the head reader and
// the chunked decoder as it is; after a complete head, the bytes that follow
// go through the chunked decoder and the JSON readers too.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "service/http_client.h"
#include "service/json_reader.h"

using namespace tilo2::core;

namespace {

bool Ended(TdevHttpBodyState state) { return state != TdevHttpBodyState::NeedMore; }

bool SameRecords(const std::optional<std::vector<TdevDeviceRecord_t>>& a,
                 const std::optional<std::vector<TdevDeviceRecord_t>>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (a->size() != b->size()) return false;
  for (size_t i = 0; i < a->size(); ++i) {
    const TdevDeviceRecord_t& x = (*a)[i];
    const TdevDeviceRecord_t& y = (*b)[i];
    if (x.deviceType != y.deviceType || x.deviceId != y.deviceId || x.modelName != y.modelName) {
      return false;
    }
  }
  return true;
}

bool SamePorts(const std::optional<TdevPortList_t>& a, const std::optional<TdevPortList_t>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->plainPort == b->plainPort && a->tlsPort == b->tlsPort);
}

void CheckHead(const char* bytes, size_t length) {
  TdevHttpReplyHead_t head;
  const int32_t rc = http_response_parse_head(bytes, length, &head);
  FUZZ_CHECK(rc == 0 || rc == 1 || rc == -6 || rc == -999);
  // Past the bytes it was given the reader never looks, so the empty line
  // has to be within them for anything but "not yet".
  const bool hasEnd = std::string_view(bytes, length).find("\r\n\r\n") != std::string_view::npos;
  FUZZ_CHECK((rc == 1) == !hasEnd);
  if (rc != 0 && rc != -6) return;
  FUZZ_CHECK(head.headLength >= 4 && head.headLength <= length);
  FUZZ_CHECK(std::memcmp(bytes + head.headLength - 4, "\r\n\r\n", 4) == 0);
  FUZZ_CHECK((rc == -6) == (head.headLength == length));
  FUZZ_CHECK(head.status >= 0 && head.status <= 999);
  FUZZ_CHECK(head.contentLength >= -1);

  // The head alone reads the same, as a reply that ends with its head; and
  // nothing before its empty line reads as a head.
  TdevHttpReplyHead_t alone;
  FUZZ_CHECK(http_response_parse_head(bytes, head.headLength, &alone) == -6);
  FUZZ_CHECK(alone.status == head.status && alone.contentLength == head.contentLength &&
             alone.chunked == head.chunked && alone.headLength == head.headLength);
  TdevHttpReplyHead_t early;
  FUZZ_CHECK(http_response_parse_head(bytes, head.headLength - 1, &early) == 1);
}

// Decodes the whole and a few prefixes, as the client does while a body
// arrives: an ended prefix ends the whole the same way.
void CheckChunked(const char* bytes, size_t length) {
  std::string whole;
  const TdevHttpBodyState ending = http_decode_chunked(bytes, length, &whole);
  if (ending == TdevHttpBodyState::Complete) FUZZ_CHECK(whole.size() <= kTdevHttpBodyMax);

  FuzzRng rng(FuzzHash(reinterpret_cast<const uint8_t*>(bytes), length));
  std::string part;
  for (int i = 0; i < 8 && length > 0; ++i) {
    const size_t cut = rng.Next() % length;
    // Exactly the prefix, in its own allocation, so a read past it is seen.
    std::vector<char> prefix(bytes, bytes + cut);
    const TdevHttpBodyState state = http_decode_chunked(prefix.data(), cut, &part);
    if (!Ended(state)) continue;
    FUZZ_CHECK(state == ending);
    if (state == TdevHttpBodyState::Complete) FUZZ_CHECK(part == whole);
  }
}

void CheckJson(const char* text, size_t length) {
  const auto devices = TdevParseDeviceList(text, length);
  const auto ports = TdevParsePortList(text, length);
  const auto units = TdevParseSystemVersion(text, length);

  // Port list and system version both need an object at the top.
  FUZZ_CHECK(ports.has_value() == units.has_value());
  if (units) {
    for (uint8_t unit : *units) FUZZ_CHECK(unit == 0 || unit == 1);
  }
  if (ports && devices) FUZZ_CHECK(devices->size() == 1);

  // Trailing blanks change nothing.
  std::string padded(text, length);
  padded += " \r\n\t";
  FUZZ_CHECK(SameRecords(devices, TdevParseDeviceList(padded.data(), padded.size())));
  FUZZ_CHECK(SamePorts(ports, TdevParsePortList(padded.data(), padded.size())));
  FUZZ_CHECK(units == TdevParseSystemVersion(padded.data(), padded.size()));

  // One object is a list of that one record.
  if (ports) {
    std::string listed("[");
    listed.append(text, length);
    listed += "]";
    FUZZ_CHECK(SameRecords(devices, TdevParseDeviceList(listed.data(), listed.size())));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A null text is no answer.
  static const bool nullChecked = [] {
    FUZZ_CHECK(!TdevParseDeviceList(nullptr, 0) && !TdevParsePortList(nullptr, 0) &&
               !TdevParseSystemVersion(nullptr, 0));
    return true;
  }();
  (void)nullChecked;

  // An empty input may come without any buffer.
  const auto* bytes = size != 0 ? reinterpret_cast<const char*>(data) : "";
  CheckHead(bytes, size);
  CheckChunked(bytes, size);
  CheckJson(bytes, size);

  // A reply: its body after the head, as the client hands it on.
  TdevHttpReplyHead_t head;
  if (http_response_parse_head(bytes, size, &head) == 0) {
    const char* body = bytes + head.headLength;
    const size_t held = size - head.headLength;
    if (head.chunked) {
      CheckChunked(body, held);
      std::string decoded;
      if (http_decode_chunked(body, held, &decoded) == TdevHttpBodyState::Complete) {
        CheckJson(decoded.data(), decoded.size());
      }
    } else {
      CheckJson(body, held);
    }
  }
  return 0;
}
