// Code-page converter: the input picks a model file and an input encoding
// (UTF-8, or the default two-byte form), and is fed as text in one to three
// pieces. Oracle: the size query answers what the fetch then writes, into a
// buffer of exactly that size; a buffer one byte short is refused untouched;
// a fetch empties the pending output.
//
// Layout: model byte, flags (bit 0 UTF-8, bit 1 fetch after every piece,
// bits 2-3 number of extra cuts), a cut byte per extra cut, then the text.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "encoding/codepage/embedded_file.h"
#include "encoding/codepage/ovuc.h"
#include "fuzz_input.h"

using namespace tilo2::core;

namespace {

// Names of the compiled-in files that open as a converter.
const std::vector<std::string>& ModelNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const EmbeddedFileRow* r = EmbeddedFileActiveTable(); r->name != nullptr; ++r) {
      const OvucHandle h = ConverterOpen(r->name, std::strlen(r->name));
      if (h > 0) {
        out.push_back(r->name);
        OvucCloseHandle(h);
      }
    }
    if (out.empty()) FuzzFail("no converter model opens");
    return out;
  }();
  return names;
}

// Open handles kept across runs, since opening parses the model's tables.
std::map<std::pair<size_t, bool>, OvucHandle>& Handles() {
  static std::map<std::pair<size_t, bool>, OvucHandle> handles;
  return handles;
}

OvucHandle HandleFor(size_t model, bool utf8) {
  auto& handles = Handles();
  if (auto it = handles.find({model, utf8}); it != handles.end()) return it->second;
  const std::string& name = ModelNames()[model];
  OvucHandle h = ConverterOpen(name.c_str(), name.size());
  if (h == OVUC_ERR_NO_SLOT) {
    for (const auto& [key, open] : handles) OvucCloseHandle(open);
    handles.clear();
    h = ConverterOpen(name.c_str(), name.size());
  }
  FUZZ_CHECK(h > 0);
  if (utf8) FUZZ_CHECK(OvucSetEncodeType(h) == OVUC_OK);
  handles[{model, utf8}] = h;
  return h;
}

// Fetches the pending output, checking the size contract on the way.
void Fetch(OvucHandle h) {
  size_t size = 0;
  const int16_t q = OvucGetOutputData(h, nullptr, &size);
  if (q == OVUC_OK) {
    FUZZ_CHECK(size == 0);
    return;
  }
  FUZZ_CHECK(q == OVUC_ERR_BUFFER_SMALL && size > 0);
  const size_t needed = size;
  FUZZ_CHECK(needed < (size_t{1} << 28));
  if (needed > 1) {
    std::unique_ptr<uint8_t[]> shortBuffer(new uint8_t[needed - 1]);
    std::memset(shortBuffer.get(), 0x5A, needed - 1);
    size = needed - 1;
    FUZZ_CHECK(OvucGetOutputData(h, shortBuffer.get(), &size) == OVUC_ERR_BUFFER_SMALL);
    FUZZ_CHECK(size == needed);
    for (size_t i = 0; i < needed - 1; ++i) FUZZ_CHECK(shortBuffer[i] == 0x5A);
  }
  std::unique_ptr<uint8_t[]> exact(new uint8_t[needed]);
  size = needed;
  FUZZ_CHECK(OvucGetOutputData(h, exact.get(), &size) == OVUC_OK);
  FUZZ_CHECK(size == needed);
  size = 0;
  FUZZ_CHECK(OvucGetOutputData(h, nullptr, &size) == OVUC_OK && size == 0);
}

bool KnownResult(int16_t rc) {
  switch (rc) {
    case OVUC_OK:
    case OVUC_WARN_ODD_LENGTH:
    case OVUC_WARN_SURROGATE:
    case OVUC_WARN_BAD_UTF8:
    case OVUC_WARN_TOO_LONG:
    case OVUC_ERR_ARGUMENT:
    case OVUC_ERR_MEMORY:
    case OVUC_ERR_OUTPUT_FULL:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const size_t model = in.U8() % ModelNames().size();
  const uint8_t flags = in.U8();
  const bool utf8 = (flags & 1) != 0;
  const bool fetchEach = (flags & 2) != 0;
  const int extraCuts = (flags >> 2) & 3;
  std::vector<uint8_t> cuts;
  for (int i = 0; i < extraCuts; ++i) cuts.push_back(in.U8());
  const std::vector<uint8_t> text = in.Rest();

  const OvucHandle h = HandleFor(model, utf8);
  Fetch(h);  // nothing left over from an earlier run
  std::vector<size_t> bounds = {0};
  for (uint8_t c : cuts) bounds.push_back(std::max(bounds.back(), text.size() * c / 256));
  bounds.push_back(text.size());
  for (size_t i = 0; i + 1 < bounds.size(); ++i) {
    const size_t from = bounds[i], n = bounds[i + 1] - bounds[i];
    // Each piece from an exactly sized heap block: a read past it trips ASan.
    std::unique_ptr<char[]> piece(new char[n == 0 ? 1 : n]);
    if (n != 0) std::memcpy(piece.get(), text.data() + from, n);
    const int16_t rc = OvucSetData(h, piece.get(), n);
    FUZZ_CHECK(KnownResult(rc));
    if (n == 0) FUZZ_CHECK(rc == OVUC_ERR_ARGUMENT);
    if (fetchEach) Fetch(h);
  }
  Fetch(h);
  return 0;
}
