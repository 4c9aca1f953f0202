// Printer command builder: a model and language, then a sequence of up to 96
// calls decoded from the input (text, images, barcodes, symbols, lines, page
// mode, layout, feed, cut, sound, raw commands, clear, replies, duplicates,
// frame flags, builds), with arguments drawn from the input including values
// outside every range; an allocation may be made to fail. Oracle: no crash,
// over-read or leak; the buffer's byte counters match its chunks after every
// call; every build hands out exactly header + body + trailer (nothing for
// an empty body), with the length query equal to the bytes returned; a
// second build and a duplicate's build give the same bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "encoding/alloc_hook.h"
#include "encoding/builder/cmd_buffer.h"
#include "encoding/builder/cmd_data.h"
#include "encoding/printer/prn_cmd.h"
#include "encoding/printer/prn_model.h"
#include "encoding/test_hooks.h"
#include "fuzz_input.h"

using namespace tilo2::core;

namespace {

using Bytes = std::vector<uint8_t>;

// Fails the allocation numbered by the countdown; plain malloc otherwise.
int g_failCountdown = -1;
bool g_failWindow = false;  // inside a call that was given a failing allocation
void* FailingAlloc(size_t size) {
  if (g_failCountdown == 0) {
    g_failCountdown = -1;
    return nullptr;
  }
  if (g_failCountdown > 0) --g_failCountdown;
  return std::malloc(size);
}

Bytes ListBytes(const CmdChunk_t* c, int32_t* sum) {
  Bytes out;
  int64_t total = 0;
  for (; c != nullptr; c = c->next) {
    FUZZ_CHECK(c->data != nullptr && c->size > 0);
    out.insert(out.end(), c->data, c->data + c->size);
    total += c->size;
  }
  *sum = static_cast<int32_t>(total);
  return out;
}

// The bytes a build must hand out, checking the counters on the way.
Bytes ExpectedJob(const PrnCmdHandle_t* b) {
  const CmdBuffer_t& buf = b->cmdBuffer;
  int32_t h = 0, body = 0, t = 0;
  Bytes header = ListBytes(buf.header, &h), bodyBytes = ListBytes(buf.body, &body),
        trailer = ListBytes(buf.trailer, &t);
  FUZZ_CHECK(h == buf.headerBytes && body == buf.bodyBytes && t == buf.trailerBytes);
  if (bodyBytes.empty()) return {};
  Bytes out = header;
  out.insert(out.end(), bodyBytes.begin(), bodyBytes.end());
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

void CheckCounters(const PrnCmdHandle_t* b) { (void)ExpectedJob(b); }

// Builds and checks the result against the buffer; rc of the build.
int BuildChecked(PrnCmdHandle_t* b, Bytes* job) {
  CmdData_t* data = nullptr;
  const int rc = PrnCmdBuild(b, &data);
  if (rc != 0) {
    FUZZ_CHECK(data == nullptr);
    FUZZ_CHECK(rc == 2 || rc == 3 || rc == -1);
    CheckCounters(b);
    return rc;
  }
  FUZZ_CHECK(data != nullptr);
  const Bytes expected = ExpectedJob(b);
  uint32_t length = 0;
  const uint8_t* bytes = nullptr;
  FUZZ_CHECK(CmdDataGetLength(data, &length) == 0);
  FUZZ_CHECK(length == expected.size());
  if (length != 0) {
    FUZZ_CHECK(CmdDataGetData(data, &bytes) == 0 && bytes != nullptr);
    FUZZ_CHECK(std::memcmp(bytes, expected.data(), length) == 0);
    // Flattening into exactly that many bytes gives the same; one short fails.
    std::unique_ptr<uint8_t[]> flat(new uint8_t[length]);
    uint32_t written = 0;
    FUZZ_CHECK(CmdBufferFlatten(&b->cmdBuffer, flat.get(), length, &written) == 0 &&
               written == length);
    FUZZ_CHECK(std::memcmp(flat.get(), expected.data(), length) == 0);
    if (length > 1) {
      FUZZ_CHECK(CmdBufferFlatten(&b->cmdBuffer, flat.get(), length - 1, &written) == 3);
      FUZZ_CHECK(written < length);
    }
  }
  *job = expected;
  FUZZ_CHECK(CmdDataFree(data) == 0);
  return 0;
}

void DumpBytes(const char* what, const Bytes& bytes) {
  std::fprintf(stderr, "%s (%zu bytes):", what, bytes.size());
  for (uint8_t v : bytes) std::fprintf(stderr, " %02X", v);
  std::fprintf(stderr, "\n");
}

// Text with no NUL inside, so the whole of it is the argument.
std::string Text(FuzzInput& in) {
  Bytes raw = in.Bytes(96);
  std::string s(raw.begin(), raw.end());
  for (char& c : s) {
    if (c == '\0') c = ' ';
  }
  return s;
}

// Image data and a size no larger than the block (the size is the caller's
// word for the block's length); sometimes shorter than the image needs.
struct ImageArgs {
  int width, height, size;
  Bytes data;
};
ImageArgs Image(FuzzInput& in) {
  ImageArgs a;
  const uint8_t shape = in.U8();
  if (shape & 1) {
    a.width = 1 + in.U8() % 200;
    a.height = 1 + in.U8() % 48;
  } else {
    a.width = in.Arg();
    a.height = in.Arg();
  }
  a.data = in.Bytes(1024);
  if (shape & 2) {
    // Enough for the image, padded with a pattern from the input.
    const int64_t perRow = (int64_t{a.width} + 7) / 8 * 2;  // covers 1-bit and gray rows
    const int64_t need = a.width > 0 && a.height > 0 ? perRow * a.height : 0;
    if (need > 0 && need <= 65536 && static_cast<int64_t>(a.data.size()) < need) {
      const size_t have = a.data.size();
      a.data.resize(static_cast<size_t>(need));
      for (size_t i = have; i < a.data.size(); ++i)
        a.data[i] = have ? a.data[i % have] : uint8_t(i * 37);
    }
  }
  a.size = static_cast<int>(a.data.size());
  if ((shape & 4) && a.size > 0) a.size -= 1 + in.U8() % a.size;
  if (a.data.empty()) a.data.push_back(0);  // a valid pointer even for size 0
  return a;
}

struct ReplyUser {
  PrnCmdHandle_t* builder;
  int ends;
};

void OnReply(int kind, const uint8_t* bytes, uint32_t length, void* user) {
  auto* u = static_cast<ReplyUser*>(user);
  const PrnReplyOps* reply = u->builder->ops.reply;
  if (reply != nullptr && reply->isJobEnd != nullptr) {
    int isEnd = -5;
    const int rc = reply->isJobEnd(u->builder, kind, bytes, length, &isEnd);
    if (rc == 0) {
      FUZZ_CHECK(isEnd == 0 || isEnd == 1);
      u->ends += isEnd;
    }
  }
}

// One call decoded from the input. Results are not judged here (a refused
// argument is a valid outcome); the buffer must stay consistent.
void OneCall(PrnCmdHandle_t* b, FuzzInput& in) {
  const PrnModelOps_t& ops = b->ops;
  switch (in.U8() % 34) {
    case 0: {
      const std::string s = Text(in);
      PrnCmdAddText(b, s.c_str());
      break;
    }
    case 1:
      PrnCmdAddTextPosition(b, in.Arg());
      break;
    case 2: {
      ImageArgs a = Image(in);
      const int color = in.Arg(), compress = in.Arg() & 1 ? 1 : in.Arg();
      PrnCmdAddImage(b, a.width, a.height, a.data.data(), a.size, color, compress);
      break;
    }
    case 3: {
      ImageArgs a = Image(in);
      const int compress = in.U8() % 3;
      PrnCmdAddGrayImage(b, a.width, a.height, a.data.data(), a.size, compress);
      break;
    }
    case 4: {
      ImageArgs a = Image(in);
      const int color = in.Arg(), compress = in.U8() % 3;
      PrnCmdAddHighDensityImage(b, a.width, a.height, a.data.data(), a.size, color, compress);
      break;
    }
    case 5: {
      const int type = in.Arg();
      Bytes d = in.Bytes(80);
      const uint32_t length = static_cast<uint32_t>(d.size());
      if (d.empty()) d.push_back('0');
      PrnCmdAddBarcode(b, type, d.data(), length);
      break;
    }
    case 6: {
      const int type = in.Arg();
      Bytes d = in.Bytes(600);
      const uint32_t length = static_cast<uint32_t>(d.size());
      if (d.empty()) d.push_back('A');
      PrnCmdAddSymbol(b, type, d.data(), length);
      break;
    }
    case 7: {
      const int which = in.U8() % 5, type = in.Arg(), value = in.Arg();
      if (which == 0) PrnCmdSetSymbolLevel(b, type, value);
      if (which == 1) PrnCmdSetSymbolHeight(b, type, value);
      if (which == 2) PrnCmdSetSymbolWidth(b, type, value);
      if (which == 3) PrnCmdSetSymbolSize(b, type, value);
      if (which == 4) PrnCmdSetSymbolLevelPercent(b, type, value);
      break;
    }
    case 8: {
      const int which = in.U8() % 3, a1 = in.Arg(), a2 = in.Arg(), a3 = in.Arg();
      if (which == 0) PrnCmdAddHLine(b, a1, a2, a3);
      if (which == 1) PrnCmdAddVLineBegin(b, a1, a2);
      if (which == 2) PrnCmdAddVLineEnd(b, a1, a2);
      break;
    }
    case 9: {
      const int x = in.Arg(), y = in.Arg(), w = in.Arg(), h = in.Arg();
      PrnCmdAddPageArea(b, x, y, w, h);
      break;
    }
    case 10:
      PrnCmdAddPageHPosition(b, in.Arg());
      break;
    case 11:
    case 12: {
      const int x1 = in.Arg(), y1 = in.Arg(), x2 = in.Arg(), y2 = in.Arg(), style = in.Arg();
      if (in.U8() & 1) {
        PrnCmdAddPageLine(b, x1, y1, x2, y2, style);
      } else {
        PrnCmdAddPageRectangle(b, x1, y1, x2, y2, style);
      }
      break;
    }
    case 13: {
      int v[7];
      for (int& a : v) a = in.Arg();
      PrnCmdAddLayout(b, v[0], v[1], v[2], v[3], v[4], v[5], v[6]);
      break;
    }
    case 14:
      PrnCmdAddCut(b, in.Arg());
      break;
    case 15:
      PrnCmdSetRasterMode(b, in.Arg());
      break;
    case 16: {
      Bytes d = in.Bytes(64);
      const uint32_t length = static_cast<uint32_t>(d.size());
      if (d.empty()) d.push_back(0x1B);
      PrnCmdAddCommand(b, d.data(), length);
      break;
    }
    case 17:
      PrnCmdClear(b);
      break;
    // Slots without an entry point, called as the device layer does.
    case 18:
      if (ops.text != nullptr) {
        PrnOp1Fn slots[] = {ops.text->lineSpace,  ops.text->textLang,    ops.text->font,
                            ops.text->smooth,     ops.text->doubleWidth, ops.text->doubleHeight,
                            ops.text->widthScale, ops.text->heightScale, ops.text->reverse,
                            ops.text->underline,  ops.text->emphasis,    ops.text->color};
        const PrnOp1Fn fn = slots[in.U8() % 12];
        const int arg = in.Arg();
        if (fn != nullptr) fn(b, arg);
      }
      break;
    case 19:
      if (ops.feed != nullptr) {
        PrnOp1Fn slots[] = {ops.feed->feedUnit, ops.feed->feedLine, ops.feed->cut};
        const PrnOp1Fn fn = slots[in.U8() % 3];
        const int arg = in.Arg();
        if (fn != nullptr) fn(b, arg);
      }
      break;
    case 20:
      if (ops.align != nullptr) {
        const PrnOp1Fn fn = (in.U8() & 1) ? ops.align->align : ops.align->rotate;
        const int arg = in.Arg();
        if (fn != nullptr) fn(b, arg);
      }
      break;
    case 21:
      if (ops.page != nullptr) {
        const int which = in.U8() % 4, arg = in.Arg();
        if (which == 0 && ops.page->begin) ops.page->begin(b);
        if (which == 1 && ops.page->end) ops.page->end(b);
        if (which == 2 && ops.page->direction) ops.page->direction(b, arg);
        if (which == 3 && ops.page->positionY) ops.page->positionY(b, arg);
      }
      break;
    case 22:
      if (ops.layout != nullptr && ops.layout->feedPosition != nullptr)
        ops.layout->feedPosition(b, in.Arg());
      break;
    case 23:
      if (ops.sound != nullptr) {
        const int which = in.U8() % 4, a1 = in.Arg(), a2 = in.Arg(), a3 = in.Arg();
        if (which == 0 && ops.sound->pulse) ops.sound->pulse(b, a1, a2);
        if (which == 1 && ops.sound->buzzer) ops.sound->buzzer(b, a1, a2);
        if (which == 2 && ops.sound->buzzerRealtime) ops.sound->buzzerRealtime(b);
        if (which == 3 && ops.sound->sound) ops.sound->sound(b, a1, a2, a3);
      }
      break;
    case 24:
      if (ops.barcode != nullptr) {
        PrnOp1Fn slots[] = {ops.barcode->hriFont, ops.barcode->hriPosition, ops.barcode->height,
                            ops.barcode->width};
        const PrnOp1Fn fn = slots[in.U8() % 4];
        const int arg = in.Arg();
        if (fn != nullptr) fn(b, arg);
      }
      break;
    case 25:
      if (ops.image != nullptr && ops.image->nvLogo != nullptr) {
        const int k1 = in.Arg(), k2 = in.Arg();
        ops.image->nvLogo(b, k1, k2);
      }
      break;
    case 26:
      if (ops.control != nullptr && ops.control->clearBuffer != nullptr)
        ops.control->clearBuffer(b);
      break;
    case 27:
      b->headerWanted = in.U8() % 3;
      b->trailerWanted = in.U8() % 3;
      break;
    case 28: {
      Bytes first, second;
      if (BuildChecked(b, &first) == 0) {
        // Unchanged builder, unchanged job: the frame is not made twice.
        const int again = BuildChecked(b, &second);
        FUZZ_CHECK(again == 0 || (g_failWindow && again == 3));
        if (again == 0 && second != first) {
          DumpBytes("first build", first);
          DumpBytes("second build", second);
          FuzzFail("a second build changed the job");
        }
      }
      break;
    }
    case 29: {
      PrnCmdHandle_t* copy = PrnCmdDuplicate(b);
      if (copy != nullptr) {
        FUZZ_CHECK(copy->converter < 0);
        Bytes mine, theirs;
        const int rc = BuildChecked(b, &mine);
        if (rc == 0) {
          const int copyRc = BuildChecked(copy, &theirs);
          FUZZ_CHECK(copyRc == 0 || copyRc == 3);
          if (copyRc == 0) FUZZ_CHECK(theirs == mine);
        }
        FUZZ_CHECK(PrnCmdClose(copy) == 0);
      }
      break;
    }
    case 30:
      // The next call meets a failed allocation somewhere along its way.
      g_failCountdown = in.U8() % 6;
      g_failWindow = true;
      OneCall(b, in);
      g_failWindow = false;
      g_failCountdown = -1;
      break;
    case 31:
      if (ops.reply != nullptr && ops.reply->split != nullptr) {
        Bytes d = in.Bytes(128);
        const uint32_t length = static_cast<uint32_t>(d.size());
        if (d.empty()) d.push_back(0);
        ReplyUser user{b, 0};
        ops.reply->split(b, d.data(), length, OnReply, &user);
      }
      break;
    case 32: {
      // Pure text runs are the common case; give them room.
      for (int i = in.U8() % 4; i >= 0; --i) {
        const std::string s = Text(in);
        PrnCmdAddText(b, s.c_str());
        if (ops.feed != nullptr && ops.feed->feedLine != nullptr) ops.feed->feedLine(b, 1);
      }
      break;
    }
    default: {
      // Not a handle at all, and null arguments: refused without touching anything.
      FUZZ_CHECK(PrnCmdAddText(b, nullptr) == 1);
      FUZZ_CHECK(PrnCmdAddCommand(b, nullptr, 3) == 1);
      CmdData_t* none = nullptr;
      FUZZ_CHECK(PrnCmdBuild(b, nullptr) == 1 && none == nullptr);
      break;
    }
  }
  CheckCounters(b);
}

std::vector<const char*> ModelNames() {
  std::vector<const char*> names;
  for (const PrnModelRow* r = PrnModelTable; r->name != nullptr; ++r) names.push_back(r->name);
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<const char*> models = ModelNames();
  static const bool allocatorSet = [] {
    EncodingSetAllocator(FailingAlloc);
    return true;
  }();
  (void)allocatorSet;
  g_failCountdown = -1;
  g_failWindow = false;

  FuzzInput in(data, size);
  const uint8_t modelByte = in.U8();
  const int lang = in.U8() % 8;  // 7 is out of range
  const char* model = modelByte < 250 ? models[modelByte % models.size()] : "RP-NONE";
  PrnCmdHandle_t* b = nullptr;
  const int openRc = PrnCmdOpen(model, lang, &b);
  if (openRc != 0) {
    FUZZ_CHECK(openRc == 1 || openRc == 2 || openRc == 3);
    FUZZ_CHECK(b == nullptr);
    return 0;
  }
  FUZZ_CHECK(PrnCmdValid(b));
  for (int calls = 0; calls < 96 && !in.empty(); ++calls) OneCall(b, in);
  Bytes job;
  const int rc = BuildChecked(b, &job);
  FUZZ_CHECK(rc == 0 || rc == 3);
  FUZZ_CHECK(PrnCmdClose(b) == 0);
  return 0;
}
