#include "encoding/builder/cmd_codec.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "encoding/alloc_hook.h"
#include "encoding/codepage/ovuc.h"
#include "encoding/dbcs/mb_encode.h"
#include "encoding/test_hooks.h"

namespace tilo2::core {

namespace {

// The compiled-in converter and double-byte encoders.
int Open(const char* name, int length) { return ConverterOpen(name, size_t(length)); }
int Close(int h) { return OvucCloseHandle(OvucHandle(h)); }
int SetEncodeType(int h) { return OvucSetEncodeType(OvucHandle(h)); }
int SetData(int h, const uint8_t* data, uint32_t length) {
  return OvucSetData(OvucHandle(h), reinterpret_cast<const char*>(data), length);
}
int GetOutput(int h, uint8_t* buffer, uint32_t* size) {
  size_t n = *size;
  int rc = OvucGetOutputData(OvucHandle(h), buffer, &n);
  *size = n > UINT32_MAX ? UINT32_MAX : uint32_t(n);
  return rc;
}
int MbEncode(int kind, const char* utf8, size_t length, char* out, size_t capacity) {
  return MbEncodeUtf8(MbKind(kind), utf8, length, out, capacity);
}

constexpr CmdConverterOps kBuiltinConverter{Open, Close, SetEncodeType, SetData, GetOutput};
constexpr CmdDbcsOps kBuiltinDbcs{MbEncode, Utf8ToKanjiBytes};

const CmdConverterOps* converterOps = &kBuiltinConverter;
const CmdDbcsOps* dbcsOps = &kBuiltinDbcs;

constexpr int kOutputTooSmall = -40;

// Empties the converter's output so a failed text cannot leak into the next.
void Drain(int converter) {
  uint32_t size = 0;
  if (converterOps->getOutput(converter, nullptr, &size) != kOutputTooSmall || size == 0) return;
  if (auto* sink = static_cast<uint8_t*>(EncodingAlloc(size))) {
    converterOps->getOutput(converter, sink, &size);
    std::free(sink);
  }
}

}  // namespace

void CmdSetConverterOps(const CmdConverterOps* ops) {
  converterOps = ops != nullptr ? ops : &kBuiltinConverter;
}

void CmdSetDbcsOps(const CmdDbcsOps* ops) { dbcsOps = ops != nullptr ? ops : &kBuiltinDbcs; }

const CmdConverterOps& CmdConverter() { return *converterOps; }
const CmdDbcsOps& CmdDbcs() { return *dbcsOps; }

int CmdConvertText(int converter, const char* utf8, size_t length, uint8_t** out, int* outSize) {
  if (out == nullptr || outSize == nullptr) return 1;
  *out = nullptr;
  *outSize = 0;
  if (converter < 0 || utf8 == nullptr || length > UINT32_MAX) return -1;
  const CmdConverterOps& c = *converterOps;
  if (c.setEncodeType(converter) < 0) return -1;
  // Warnings (odd bytes, bad sequences, too long) still leave a complete
  // output; the text generators treat every negative answer as a refusal.
  if (c.setData(converter, reinterpret_cast<const uint8_t*>(utf8), uint32_t(length)) < 0) {
    Drain(converter);
    return -1;
  }
  uint32_t size = 0;
  int rc = c.getOutput(converter, nullptr, &size);
  if (rc == 0 && size == 0) return 0;
  if (rc != kOutputTooSmall || size == 0 || size > INT_MAX) {
    Drain(converter);
    return -1;
  }
  auto* block = static_cast<uint8_t*>(EncodingAlloc(size));
  if (block == nullptr) {
    Drain(converter);
    return 3;
  }
  uint32_t got = size;
  if (c.getOutput(converter, block, &got) != 0 || got != size) {
    std::free(block);
    Drain(converter);
    return -1;
  }
  *out = block;
  *outSize = int(size);
  return 0;
}

bool CmdIsDbcsLanguage(int language) { return language >= 1 && language <= 4; }

int CmdEncodeDbcs(int language, const char* utf8, size_t length, uint8_t** out, int* outSize) {
  if (out == nullptr || outSize == nullptr) return 1;
  *out = nullptr;
  *outSize = 0;
  if (utf8 == nullptr || !CmdIsDbcsLanguage(language)) return 1;
  const CmdDbcsOps& e = *dbcsOps;
  // Language 2..4 map onto the encoder kinds 1..3 (simplified, traditional, Korean).
  auto encode = [&](char* dst, size_t cap) {
    return language == 1 ? e.kanji(utf8, length, dst, cap)
                         : e.mbEncode(language - 1, utf8, length, dst, cap);
  };
  const int n = encode(nullptr, 0);
  if (n <= 0) return n == 0 ? 0 : -1;
  auto* block = static_cast<uint8_t*>(EncodingAlloc(size_t(n)));
  if (block == nullptr) return 3;
  if (encode(reinterpret_cast<char*>(block), size_t(n)) != n) {
    std::free(block);
    return -1;
  }
  *out = block;
  *outSize = n;
  return 0;
}

int CmdEncodeText(int language, int converter, const char* utf8, size_t length, uint8_t** out,
                  int* outSize) {
  return CmdIsDbcsLanguage(language) ? CmdEncodeDbcs(language, utf8, length, out, outSize)
                                     : CmdConvertText(converter, utf8, length, out, outSize);
}

int CmdAppendText(CmdBuffer_t* buffer, int language, int converter, const char* utf8) {
  if (buffer == nullptr || utf8 == nullptr) return 1;
  const size_t length = std::strlen(utf8);
  if (length == 0) return 0;
  uint8_t* block = nullptr;
  int size = 0;
  if (int rc = CmdEncodeText(language, converter, utf8, length, &block, &size); rc != 0) return rc;
  return CmdBufferAppendOwned(buffer, CmdBufferAppendBody, block, size);
}

int16_t OpenModelConverter(const char* modelName, int modelLang) {
  if (modelName == nullptr) return -1;
  const char* suffix = "ank";
  switch (modelLang) {
    case 1:
      suffix = "jpn";
      break;
    case 2:
      suffix = "sc";
      break;
    case 3:
      suffix = "tc";
      break;
    case 4:
      suffix = "ko";
      break;
    case 6:
      suffix = "sa";
      break;
    default:
      break;
  }
  char name[40];
  int n = std::snprintf(name, sizeof name, "%s_%s.txt", modelName, suffix);
  if (n <= 0 || size_t(n) >= sizeof name) return -1;
  int h = CmdConverter().open(name, n);
  return h > 0 && h <= INT16_MAX ? int16_t(h) : int16_t(-1);
}

}  // namespace tilo2::core
