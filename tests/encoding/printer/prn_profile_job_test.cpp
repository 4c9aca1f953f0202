// Model profiles by their effect: a reference job runs every slot of every
// table with fixed arguments, and the bytes each one appends (or "-" for a
// slot the model lacks) show which generator the profile installed, without
// naming generators or comparing function pointers.
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "../prn_test_util.h"
#include "encoding/printer/prn_model.h"

using namespace tilo2::core;

namespace {

std::string Hex(const Bytes& bytes) {
  std::string s;
  char buf[4];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, " %02x", b);
    s += buf;
  }
  return s;
}

struct SlotCall {
  const char* name;
  // Calls the slot and answers its result, or false when the slot is absent.
  std::function<bool(PrnCmdHandle_t*, int&)> call;
};

template <typename Table, typename Fn, typename... Args>
std::function<bool(PrnCmdHandle_t*, int&)> Slot(Table* PrnModelOps_t::*table, Fn Table::*slot,
                                                Args... args) {
  return [=](PrnCmdHandle_t* b, int& rc) {
    const Table* t = b->ops.*table;
    if (t == nullptr || t->*slot == nullptr) return false;
    rc = (t->*slot)(b, args...);
    return true;
  };
}

const uint8_t kImage[] = {0xA5};
const uint8_t kCode[] = {'1', '2'};

// Every slot in table order; arguments chosen so each generator shows its form.
const std::vector<SlotCall>& ReferenceCalls() {
  using M = PrnModelOps_t;
  static const std::vector<SlotCall> calls = {
      {"text.text", Slot(&M::text, &PrnTextOps::text, "A")},
      {"text.lineSpace", Slot(&M::text, &PrnTextOps::lineSpace, 30)},
      {"text.font", Slot(&M::text, &PrnTextOps::font, 2)},
      {"text.smooth", Slot(&M::text, &PrnTextOps::smooth, 1)},
      {"text.doubleWidth", Slot(&M::text, &PrnTextOps::doubleWidth, 1)},
      {"text.doubleHeight", Slot(&M::text, &PrnTextOps::doubleHeight, 1)},
      {"text.widthScale", Slot(&M::text, &PrnTextOps::widthScale, 1)},
      {"text.heightScale", Slot(&M::text, &PrnTextOps::heightScale, 1)},
      {"text.reverse", Slot(&M::text, &PrnTextOps::reverse, 1)},
      {"text.underline", Slot(&M::text, &PrnTextOps::underline, 1)},
      {"text.emphasis", Slot(&M::text, &PrnTextOps::emphasis, 1)},
      {"text.color", Slot(&M::text, &PrnTextOps::color, 2)},
      {"text.positionX", Slot(&M::text, &PrnTextOps::positionX, 260)},
      {"text.textLang", Slot(&M::text, &PrnTextOps::textLang, 2)},
      {"image.image", Slot(&M::image, &PrnImageOps::image, 8, 1, kImage, 1, 1, 0)},
      {"image.nvLogo", Slot(&M::image, &PrnImageOps::nvLogo, 0x30, 0x31)},
      {"image.grayImage", Slot(&M::image, &PrnImageOps::grayImage, 2, 1, kImage, 1, 2, 0)},
      {"image.highDensityImage",
       Slot(&M::image, &PrnImageOps::highDensityImage, 8, 1, kImage, 1, 1, 0)},
      // Again after the images, which may have left the ribbon in another color.
      {"text.text again", Slot(&M::text, &PrnTextOps::text, "B")},
      {"barcode.barcode", Slot(&M::barcode, &PrnBarcodeOps::barcode, 4, kCode, 2u)},
      {"barcode.hriFont", Slot(&M::barcode, &PrnBarcodeOps::hriFont, 2)},
      {"barcode.hriPosition", Slot(&M::barcode, &PrnBarcodeOps::hriPosition, 2)},
      {"barcode.height", Slot(&M::barcode, &PrnBarcodeOps::height, 50)},
      {"barcode.width", Slot(&M::barcode, &PrnBarcodeOps::width, 3)},
      {"symbol.symbol", Slot(&M::symbol, &PrnSymbolOps::symbol, 2, kCode, 2u)},
      {"symbol.level", Slot(&M::symbol, &PrnSymbolOps::level, 2, 10)},
      {"symbol.height", Slot(&M::symbol, &PrnSymbolOps::height, 0, 3)},
      {"symbol.width", Slot(&M::symbol, &PrnSymbolOps::width, 2, 4)},
      {"symbol.size", Slot(&M::symbol, &PrnSymbolOps::size, 0, 5)},
      {"symbol.levelPercent", Slot(&M::symbol, &PrnSymbolOps::levelPercent, 12, 30)},
      {"align.align", Slot(&M::align, &PrnAlignOps::align, 1)},
      {"align.rotate", Slot(&M::align, &PrnAlignOps::rotate, 1)},
      {"feed.feedUnit", Slot(&M::feed, &PrnFeedOps::feedUnit, 20)},
      {"feed.feedLine", Slot(&M::feed, &PrnFeedOps::feedLine, 2)},
      {"feed.cut", Slot(&M::feed, &PrnFeedOps::cut, 1)},
      {"line.hLine", Slot(&M::line, &PrnLineOps::hLine, 0, 10, 0)},
      {"line.vLineBegin", Slot(&M::line, &PrnLineOps::vLineBegin, 0, 0)},
      {"line.vLineEnd", Slot(&M::line, &PrnLineOps::vLineEnd, 0, 0)},
      {"page.begin", Slot(&M::page, &PrnPageOps::begin)},
      {"page.area", Slot(&M::page, &PrnPageOps::area, 0, 0, 512, 1000)},
      {"page.direction", Slot(&M::page, &PrnPageOps::direction, 1)},
      {"page.positionX", Slot(&M::page, &PrnPageOps::positionX, 3)},
      {"page.positionY", Slot(&M::page, &PrnPageOps::positionY, 4)},
      {"page.line", Slot(&M::page, &PrnPageOps::line, 1, 2, 3, 4, 0)},
      {"page.rectangle", Slot(&M::page, &PrnPageOps::rectangle, 1, 2, 3, 4, 1)},
      {"page.end", Slot(&M::page, &PrnPageOps::end)},
      {"layout.layout", Slot(&M::layout, &PrnLayoutOps::layout, 1, 300, 10, 20, 0, -5, 580)},
      {"layout.feedPosition", Slot(&M::layout, &PrnLayoutOps::feedPosition, 1)},
      {"sound.pulse", Slot(&M::sound, &PrnSoundOps::pulse, 1, 2)},
      {"sound.buzzer", Slot(&M::sound, &PrnSoundOps::buzzer, 2, 3)},
      {"sound.buzzerRealtime", Slot(&M::sound, &PrnSoundOps::buzzerRealtime)},
      {"sound.sound", Slot(&M::sound, &PrnSoundOps::sound, 8, 3, 5)},
      {"control.clearBuffer", Slot(&M::control, &PrnControlOps::clearBuffer)},
      {"control.header", Slot(&M::control, &PrnControlOps::header, CmdBufferAppendHeader)},
      {"control.trailer", Slot(&M::control, &PrnControlOps::trailer, CmdBufferAppendTrailer)},
  };
  return calls;
}

// One line per slot: its name, "-" when absent, else its result and the
// bytes it appended; then the reply table's job-end answers and the
// printable width for the paper codes 50 and 54.
std::string ReferenceJob(const char* model, int lang) {
  std::ostringstream out;
  Builder b(model, lang);
  if (b.rc != 0) {
    out << "open " << b.rc << "\n";
    return out.str();
  }
  std::memcpy(b->processId, "0A1F", 4);
  for (const SlotCall& c : ReferenceCalls()) {
    const std::string name = c.name;
    const std::string label = name == "text.text again" ? "text.textAgain" : name;
    const size_t bodyBefore = BodyBytes(b.get()).size();
    int rc = 0;
    out << label;
    if (!c.call(b.get(), rc)) {
      out << " -\n";
      continue;
    }
    // Headers and trailers go to their own lists; everything else to the body.
    Bytes added;
    if (name == "control.header") {
      added = ListBytes(b->cmdBuffer.header);
    } else if (name == "control.trailer") {
      added = ListBytes(b->cmdBuffer.trailer);
      if (added.size() > 128 && Bytes(added.begin(), added.begin() + 128) == Bytes(128, 0)) {
        added.erase(added.begin(), added.begin() + 128);
        out << " (128 NUL)";
      }
    } else {
      const Bytes body = BodyBytes(b.get());
      added.assign(body.begin() + static_cast<ptrdiff_t>(bodyBefore), body.end());
    }
    out << " " << rc << Hex(added) << "\n";
  }
  out << "reply.split " << (b->ops.reply && b->ops.reply->split ? "yes" : "-") << "\n";
  out << "reply.isJobEnd";
  if (b->ops.reply && b->ops.reply->isJobEnd) {
    const uint8_t status = 0x00;
    const uint8_t answer[] = {'7', '"', '0', 'A', '1', 'F', 0x00};
    int statusEnds = -1, answerEnds = -1;
    b->ops.reply->isJobEnd(b.get(), kPrnReplyStatusByte, &status, 1, &statusEnds);
    b->ops.reply->isJobEnd(b.get(), kPrnReplySeven, answer, 7, &answerEnds);
    out << " status " << statusEnds << " answer " << answerEnds << "\n";
  } else {
    out << " -\n";
  }
  out << "width";
  if (b->getPrintableWidth == nullptr) {
    out << " -";
  } else {
    for (int code : {50, 54}) {
      b->paperWidthCode = code;
      int dots = 0;
      const int rc = b->getPrintableWidth(b.get(), &dots);
      out << " " << code << ":";
      if (rc == 0)
        out << dots;
      else
        out << "rc" << rc;
    }
  }
  out << "\n";
  return out.str();
}

// The standard thermal profile ("RP-S3", language 0), slot by slot.
constexpr const char* kStandardJob = R"(text.text 0 1b 74 00 41
text.lineSpace 0 1b 33 1e
text.font 0 1b 4d 02
text.smooth 0 1d 62 01
text.doubleWidth 0 1d 21 10
text.doubleHeight 0 1d 21 11
text.widthScale 0 1d 21 01
text.heightScale 0 1d 21 00
text.reverse 0 1d 42 01
text.underline 0 1b 2d 01
text.emphasis 0 1b 45 01
text.color -
text.positionX 0 1b 24 04 01
text.textLang 0 1b 74 00 1b 52 0f
image.image 0 1b 24 00 00 1d 38 4c 0b 00 00 00 30 70 30 01 01 31 08 00 01 00 a5 1d 28 4c 02 00 30 32
image.nvLogo 0 1d 28 4c 06 00 30 45 30 31 01 01
image.grayImage -
image.highDensityImage 0 1b 24 00 00 1d 38 4c 0b 00 00 00 30 70 30 01 01 31 08 00 01 00 a5 1d 28 4c 02 00 30 32
text.textAgain 0 42
barcode.barcode 0 1b 55 01 1d 6b 44 02 31 32 1b 55 00
barcode.hriFont 0 1d 66 02
barcode.hriPosition 0 1d 48 02
barcode.height 0 1d 68 32
barcode.width 0 1d 77 03
symbol.symbol 0 1b 55 01 1d 28 6b 04 00 31 41 31 00 1d 28 6b 05 00 31 50 30 31 32 1d 28 6b 03 00 31 51 30 1b 55 00
symbol.level 0 1d 28 6b 03 00 31 45 31
symbol.height 0 1d 28 6b 03 00 30 44 03
symbol.width 0 1d 28 6b 03 00 31 43 04
symbol.size 0 1d 28 6b 03 00 30 41 05
symbol.levelPercent 0 1d 28 6b 03 00 35 45 1e
align.align 0 1b 61 01
align.rotate 0 1b 7b 01
feed.feedUnit 0 1b 4a 14
feed.feedLine 0 1b 64 02
feed.cut 0 1d 56 42 00
line.hLine -
line.vLineBegin -
line.vLineEnd -
page.begin 0 1b 4c
page.area 0 1b 57 00 00 00 00 00 02 e8 03
page.direction 0 1b 54 01
page.positionX 0 1b 24 03 00
page.positionY 0 1d 24 04 00
page.line -
page.rectangle -
page.end 0 1b 54 00 0c
layout.layout -
layout.feedPosition -
sound.pulse 0 1b 70 01 96 96
sound.buzzer -
sound.buzzerRealtime -
sound.sound -
control.clearBuffer 0 10 14 08 01 03 14 01 06 02 08
control.header 0 1b 3d 01 1b 40 1d 61 ff 1b 54 00 1d 50 cb cb
control.trailer (128 NUL) 0 1d 28 48 06 00 30 30 30 41 31 46
reply.split yes
reply.isJobEnd status 0 answer 1
width 50:420 54:576
)";

// A profile as the lines in which its reference job differs from the standard one.
struct ProfileCase {
  const char* model;
  int lang;
  std::vector<std::string> differences;  // "slot rest of line"
};

std::string Expected(const ProfileCase& c) {
  std::istringstream in(kStandardJob);
  std::ostringstream out;
  for (std::string line; std::getline(in, line);) {
    const std::string slot = line.substr(0, line.find(' '));
    for (const std::string& d : c.differences) {
      if (d.substr(0, d.find(' ')) == slot) line = d;
    }
    out << line << "\n";
  }
  return out.str();
}

std::vector<std::string> Absent(std::initializer_list<const char*> slots) {
  std::vector<std::string> out;
  for (const char* s : slots) out.push_back(std::string(s) + " -");
  return out;
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(PrnProfileJob, StandardThermalProfile) { EXPECT_EQ(ReferenceJob("RP-S3", 0), kStandardJob); }

TEST(PrnProfileJob, ProfilesDifferFromTheStandardOnlyWhereTheirModelsDo) {
  // The Kanji slot set: language, font and underline also drive Kanji mode.
  const std::vector<std::string> kanji = {"text.font 0 1b 4d 02 1c 28 41 02 00 30 02",
                                          "text.underline 0 1b 2d 01 1c 2d 01",
                                          "text.textLang 0 1b 74 00 1b 52 0f 1c 43 00 1c 26"};
  // Dot-matrix framing and job end: one status byte answers GS r 1.
  const std::vector<std::string> impactFrame = {"control.header 0 1b 3d 01 1b 40 1d 61 ff",
                                                "control.trailer 0 1d 72 01",
                                                "reply.isJobEnd status 1 answer 0", "width -"};
  const std::vector<std::string> noBarcodeOrSymbol =
      Absent({"barcode.barcode", "barcode.hriFont", "barcode.hriPosition", "barcode.height",
              "barcode.width", "symbol.symbol", "symbol.level", "symbol.height", "symbol.width",
              "symbol.size", "symbol.levelPercent"});
  const std::vector<std::string> noPage = Absent({"page.begin", "page.area", "page.direction",
                                                  "page.positionX", "page.positionY", "page.end"});
  // Bit images of the first dot-matrix model, switching the ribbon when the color changes.
  const std::vector<std::string> d4Images = {
      "image.image 0 1b 4a 00 1b 72 00 1b 2a 00 08 00 80 00 80 00 00 80 00 80 1b 4a 10",
      "image.nvLogo 0 1b 4a 00 1b 72 01 1c 70 30 00",
      "image.highDensityImage 0 1b 4a 00 1b 72 00 1b 2a 01 08 00 80 00 80 00 00 80 00 80 1b 4a 10",
      "text.textAgain 0 1b 4a 00 1b 72 01 42", "text.color 0 1b 4a 00 1b 72 01"};
  const std::string image24 =
      " 0 1d 28 4b 02 00 30 03 1b 55 01 1b 2a 21 08 00 80 00 00 00 00 00 80 00 00 00 00 00 00 00 "
      "00 80"
      " 00 00 00 00 00 80 00 00 1b 4a 18 1d 28 4b 02 00 30 00 1b 55 00";
  const std::vector<std::string> m5 = {"control.header 0 1b 3d 01 1b 40 1d 61 ff 1b 54 00",
                                       "width 50:420 54:rc2", "sound.pulse -"};

  const ProfileCase cases[] = {
      {"RP-S5", 2, kanji},
      {"RP-D4", 0,
       Join({impactFrame,
             noBarcodeOrSymbol,
             noPage,
             d4Images,
             Absent({"text.smooth", "text.reverse", "text.positionX", "control.clearBuffer"}),
             {"text.doubleWidth 0 1b 21 20", "text.doubleHeight 0 1b 21 30",
              "text.widthScale 0 1b 21 10", "text.heightScale 0 1b 21 00"}})},
      {"RP-D4", 3,
       Join({impactFrame,
             noBarcodeOrSymbol,
             noPage,
             d4Images,
             Absent({"text.smooth", "text.reverse", "text.positionX", "control.clearBuffer"}),
             {"text.doubleWidth 0 1b 21 20 1c 21 04", "text.doubleHeight 0 1b 21 30 1c 21 0c",
              "text.widthScale 0 1b 21 10 1c 21 08", "text.heightScale 0 1b 21 00 1c 21 00",
              // The font slot keeps the plain generator; language and underline take Kanji mode.
              "text.underline 0 1b 2d 01 1c 2d 01",
              "text.textLang 0 1b 74 00 1b 52 0f 1c 43 00 1c 26"}})},
      {"RP-D6", 2,
       Join({impactFrame,
             kanji,
             noPage,
             Absent({"text.smooth", "text.doubleWidth", "text.doubleHeight", "text.widthScale",
                     "text.heightScale", "text.reverse", "image.nvLogo", "control.clearBuffer"}),
             {"image.image" + image24, "image.highDensityImage" + image24,
              "layout.feedPosition 0 1c 28 4c 02 00 42 30",
              "sound.sound 0 1b 28 41 05 00 61 65 03 05 02"}})},
      {"RP-M5", 0,
       Join(
           {m5,
            {"page.line 0 1d 28 51 0c 00 30 01 00 02 00 03 00 04 00 01 01 30",
             "page.rectangle 0 1d 28 51 0e 00 31 01 00 02 00 03 00 04 00 01 02 30 30 01",
             "layout.layout 0 1c 28 4c 15 00 21 31 33 30 30 3b 31 30 3b 32 30 3b 30 3b 2d 35 3b 35 "
             "38 30 3b 1d 57 ff ff",
             "layout.feedPosition 0 1c 28 4c 02 00 42 30"}})},
      // In Japanese the model has no symbol and no layout table.
      {"RP-M5", 1,
       Join({m5, kanji,
             Absent({"symbol.symbol", "symbol.level", "symbol.height", "symbol.width",
                     "symbol.size", "symbol.levelPercent"})})},
  };
  for (const ProfileCase& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " lang " + std::to_string(c.lang));
    EXPECT_EQ(ReferenceJob(c.model, c.lang), Expected(c));
  }
}

// The generic model (the engine's status builder) only splits replies.
TEST(PrnProfileJob, GenericModelOnlySplitsReplies) {
  std::istringstream in(kStandardJob);
  std::ostringstream want;
  for (std::string line; std::getline(in, line);) {
    const std::string slot = line.substr(0, line.find(' '));
    want << slot << (slot == "reply.split" ? " yes" : " -") << "\n";
  }
  EXPECT_EQ(ReferenceJob("", 0), want.str());
}

// No model has the line table, and only "RP-D4" has a color command.
TEST(PrnProfileJob, LineTableNowhereAndColorOnlyOnTheRibbonModel) {
  for (size_t i = 0; PrnModelTable[i].name != nullptr; ++i) {
    const char* name = PrnModelTable[i].name;
    SCOPED_TRACE(name);
    int lang = 0;
    std::string job;
    do {
      job = ReferenceJob(name, lang);
    } while (job.rfind("open", 0) == 0 && ++lang <= 6);
    for (const char* slot : {"line.hLine -\n", "line.vLineBegin -\n", "line.vLineEnd -\n"}) {
      EXPECT_NE(job.find(slot), std::string::npos) << slot;
    }
    const bool isD4 = std::string(name) == "RP-D4";
    EXPECT_NE(job.find(isD4 ? "text.color 0 1b 4a 00 1b 72 01\n" : "text.color -\n"),
              std::string::npos);
  }
}

}  // namespace
