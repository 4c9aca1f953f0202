// The printer model alone: bytes in, answers out, no sockets. The io tests
// and the print engine trust these answers, so each form is checked here.

#include "printer_model.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "encoding/reply/reply_splitter.h"
#include "transcript.h"

namespace {

using namespace std::chrono_literals;
using printer_emulator::Faults;
using printer_emulator::JobIdMode;
using printer_emulator::PrinterModel;
using printer_emulator::Profile;
using Bytes = std::vector<uint8_t>;

Bytes feed(PrinterModel& m, const Bytes& bytes) { return m.receive(bytes); }

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The job frame the print engine writes: header with GS a 255, body, trailer
// with 128 NULs and the GS ( H job-id request.
Bytes job(const std::string& id, const Bytes& body) {
  Bytes trailer(128, 0);
  const Bytes request{0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30};
  trailer.insert(trailer.end(), request.begin(), request.end());
  trailer.insert(trailer.end(), id.begin(), id.end());
  return cat(
      {{0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1B, 0x54, 0x00, 0x1D, 0x50, 0xCB, 0xCB},
       body,
       trailer});
}

Bytes jobEnd(const std::string& id) { return cat({{'7', 0x22}, text(id), {0}}); }

// Every answer must be one of the forms a host's reply splitter takes apart:
// the packets of a stream, or nothing when a byte would be dropped.
bool wellFormed(const Bytes& reply) {
  size_t p = 0;
  while (p < reply.size()) {
    const uint8_t b = reply[p];
    if ((b & 0x93) == 0x10) {
      if (p + 4 > reply.size()) return false;
      for (size_t i = 1; i < 4; ++i) {
        if (reply[p + i] & 0x90) return false;
      }
      p += 4;
    } else if ((b & 0x93) == 0x12 || (b & 0x90) == 0) {
      p += 1;
    } else if (b == '9') {
      if (p + 4 > reply.size() || reply[p + 3] != 0) return false;
      for (size_t i = 1; i < 3; ++i) {
        if (reply[p + i] < 0x40 || reply[p + i] > 0x7F) return false;
      }
      p += 4;
    } else if (b == '7' || b == '=' || b == '_') {
      // No block holds 00 before its end.
      size_t end = p + 1;
      while (end < reply.size() && reply[end] != 0) ++end;
      if (end == reply.size() || (b != '_' && end == p + 1)) return false;
      p = end + 1;
    } else {
      return false;
    }
  }
  return true;
}

TEST(PrinterModel, IdleStatusAndAsbOnRequest) {
  PrinterModel m;
  EXPECT_EQ(m.asb(), (std::array<uint8_t, 4>{0x10, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(feed(m, text("plain text\n")).empty());
  // GS a 255 answers the status at once, and only changes afterwards.
  EXPECT_EQ(feed(m, {0x1B, 0x3D, 0x01, 0x1D, 0x61, 0xFF}), (Bytes{0x10, 0, 0, 0}));
  EXPECT_TRUE(feed(m, text("more\n")).empty());
  Faults f;
  f.coverOpen = true;
  m.setFaults(f);
  EXPECT_EQ(m.takeOutput(), (Bytes{0x38, 0, 0, 0}));
  m.setFaults(f);
  EXPECT_TRUE(m.takeOutput().empty());
  m.setFaults({});
  EXPECT_EQ(m.takeOutput(), (Bytes{0x10, 0, 0, 0}));
  // GS a 0 switches it off again.
  EXPECT_TRUE(feed(m, {0x1D, 0x61, 0x00}).empty());
  m.setFaults(f);
  EXPECT_TRUE(m.takeOutput().empty());
}

TEST(PrinterModel, FaultsSetTheirStatusBits) {
  struct Case {
    const char* name;
    void (*set)(Faults&);
    std::array<uint8_t, 4> asb;
    std::array<uint8_t, 4> realtime;  // DLE EOT 1..4
    uint8_t offlineReasons;           // byte 6 of the offline response, without its 40h
  };
  const Case cases[] = {
      {"idle", [](Faults&) {}, {0x10, 0, 0, 0}, {0x12, 0x12, 0x12, 0x12}, 0},
      {"cover open",
       [](Faults& f) { f.coverOpen = true; },
       {0x38, 0, 0, 0},
       {0x1A, 0x16, 0x12, 0x12},
       0x01},
      {"near end",
       [](Faults& f) { f.nearEnd = true; },
       {0x10, 0, 0x01, 0},
       {0x12, 0x12, 0x12, 0x1E},
       0},
      {"paper end",
       [](Faults& f) { f.paperEnd = true; },
       {0x18, 0, 0x04, 0},
       {0x1A, 0x32, 0x12, 0x72},
       0},
      {"offline",
       [](Faults& f) { f.offline = true; },
       {0x18, 0, 0, 0},
       {0x1A, 0x12, 0x12, 0x12},
       0},
      {"offline with reason",
       [](Faults& f) { f.offlineReason = true; },
       {0x18, 0x01, 0, 0},
       {0x3A, 0x12, 0x12, 0x12},
       0},
      {"feed", [](Faults& f) { f.feed = true; }, {0x58, 0, 0, 0}, {0x1A, 0x1A, 0x12, 0x12}, 0},
      {"panel switch",
       [](Faults& f) { f.panelSwitch = true; },
       {0x18, 0x02, 0, 0},
       {0x5A, 0x12, 0x12, 0x12},
       0},
      {"auto-recoverable",
       [](Faults& f) {
         f.autoRecoverable = true;
         f.offlineReasons = 0x02;
       },
       {0x18, 0x40, 0, 0},
       {0x1A, 0x52, 0x52, 0x12},
       0x02},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PrinterModel m;
    Faults f;
    c.set(f);
    m.setFaults(f);
    const auto asb = m.asb();
    EXPECT_EQ(asb, c.asb);
    EXPECT_EQ(asb[0] & 0x93, 0x10);  // the fixed bits of an automatic status block
    for (int j = 1; j < 4; ++j) EXPECT_EQ(asb[j] & 0x90, 0);
    for (int n = 1; n <= 4; ++n) {
      const auto r = feed(m, {0x10, 0x04, static_cast<uint8_t>(n)});
      ASSERT_EQ(r.size(), 1u);
      EXPECT_EQ(r[0] & 0x93, 0x12);
      EXPECT_EQ(r[0], c.realtime[n - 1]) << "DLE EOT " << n;
    }
    const auto offline = feed(m, {0x10, 0x14, 0x07, 0x04});
    EXPECT_EQ(offline, (Bytes{'7', '#', 0x40, 0x40, 0x40, 0x40,
                              static_cast<uint8_t>(0x40 | c.offlineReasons), 0}));
    // The status request answers the ASB, then the extended status block.
    const auto status = feed(m, {0x10, 0x14, 0x14, 0x00, 0x00, 0x01, 0x08});
    EXPECT_EQ(status, cat({Bytes(asb.begin(), asb.end()), {'9', 0x40, 0x40, 0}}));
    EXPECT_TRUE(wellFormed(status));
  }
}

TEST(PrinterModel, QueriesGetTheirReplyForms) {
  struct Case {
    Profile profile;
    Bytes query;
    Bytes reply;
  };
  const Bytes battery{0x10, 0x14, 0x07, 0x05};
  const Bytes modelId{0x1B, 0x3D, 0x01, 0x1D, 0x49, 0x01};
  const Bytes paper{0x1B, 0x3D, 0x01, 0x1D, 0x49, 0x21};
  const Bytes name{0x1B, 0x3D, 0x01, 0x1D, 0x49, 0x43};
  const Bytes info{0x1B, 0x3D, 0x01, 0x1D, 0x28, 0x45, 0x02, 0x00, 0x06, 0x03, 0x1D, 0x49, 0x6E};
  const Bytes setting{0x1B, 0x3D, 0x01, 0x1D, 0x28, 0x45, 0x02, 0x00, 0x06, 0x0B};
  const Bytes interruptQ{0x10, 0x04, 0x12, 0x01};
  const Bytes displayQ{0x10, 0x04, 0x12, 0x02};
  const Bytes interrupt{0x10, 0x14, 0x06, 0x04, 0x00, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08};
  const Bytes clear{0x10, 0x14, 0x08, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08};
  const Bytes ext{0x10, 0x14, 0x07, 0x02};
  const Case cases[] = {
      {Profile::Battery, battery, {'7', 'E', '8', '0', 0}},
      {Profile::Receipt, battery, {}},
      {Profile::Receipt, modelId, {0x20}},
      {Profile::Line, modelId, {0x0D}},
      {Profile::Receipt, paper, {'=', '!', 0x68, 0x60, 0}},
      {Profile::Receipt, name, {'_', 'R', 'X', '-', '8', '0', 0}},
      {Profile::Receipt, info, {'7', 0x27, '3', '1', '2', 0, '=', 'n', '2', 0}},
      {Profile::Line, setting, {'7', 0x27, '1', '0', '0', '1', 0}},
      {Profile::Receipt, setting, {'7', 0x27, '1', '0', '0', '0', 0}},
      {Profile::Interrupt, interruptQ, {0x16}},
      {Profile::Receipt, interruptQ, {0x12}},
      {Profile::Receipt, displayQ, {0x12}},
      {Profile::Interrupt, interrupt, {'7', 0x5C, '0', 0}},
      {Profile::Receipt, interrupt, {}},
      {Profile::Receipt, clear, {'7', '%', 0}},
      {Profile::Receipt, ext, {'9', 0x40, 0x40, 0}},
      {Profile::Impact, {0x1D, 0x72, 0x01}, {0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.query) + " on " + profileName(c.profile));
    PrinterModel m(c.profile);
    const auto reply = feed(m, c.query);
    EXPECT_EQ(reply, c.reply);
    EXPECT_TRUE(wellFormed(reply));
  }
}

TEST(PrinterModel, SplitAtEveryByteGivesTheSameAnswers) {
  const Bytes stream = cat({job("0001", cat({{0x1B, 0x61, 0x01},
                                             text("Cr\x8A"
                                                  "me\n"),
                                             {0x1D, 0x6B, 0x43, 0x0D},
                                             text("4901234567894"),
                                             {0x1D, 0x76, 0x30, 0x00, 0x02, 0x00, 0x02, 0x00},
                                             {0x10, 0x04, 0x01, 0x10, 0x04, 0x01},  // image data
                                             {0x10, 0x04, 0x02},
                                             {0x1D, 0x56, 0x42, 0x00}})),
                            {0x10, 0x14, 0x07, 0x02}});
  PrinterModel whole;
  const auto expected = feed(whole, stream);
  // ASB, the real-time byte, the job end, the extended status.
  EXPECT_EQ(expected, cat({{0x10, 0, 0, 0, 0x12}, jobEnd("0001"), {'9', 0x40, 0x40, 0}}));
  EXPECT_EQ(whole.commandCounts().at("DLE EOT 2"), 1u);
  EXPECT_EQ(whole.commandCounts().count("DLE EOT 1"), 0u);  // inside the raster data

  PrinterModel split;
  Bytes got;
  for (uint8_t b : stream) {
    const auto r = split.receive(Bytes{b});
    got.insert(got.end(), r.begin(), r.end());
  }
  EXPECT_EQ(got, expected);
  EXPECT_EQ(split.commandCounts(), whole.commandCounts());
}

TEST(PrinterModel, TranscriptNamesTheCommands) {
  PrinterModel m;
  const Bytes qrData = text("https://example.invalid/abc");
  Bytes qrStore{0x1D, 0x28, 0x6B, static_cast<uint8_t>(qrData.size() + 3), 0x00, 0x31, 0x50, 0x30};
  qrStore.insert(qrStore.end(), qrData.begin(), qrData.end());
  Bytes raster{0x1D, 0x76, 0x30, 0x00, 72, 0x00, 120, 0x00};
  raster.resize(raster.size() + 72 * 120, 0x10);
  feed(m, job("0001", cat({{0x1B, 0x74, 0x02, 0x1B, 0x61, 0x01, 0x1B, 0x45, 0x01},
                           text("Cr\x8A"
                                "me\n"),
                           {0x1D, 0x6B, 0x43, 0x0D},
                           text("4901234567894"),
                           qrStore,
                           raster,
                           {0x1D, 0x56, 0x42, 0x00}})));
  std::vector<std::string> lines;
  uint8_t page = 0;
  std::string line;
  for (const auto& e : m.takeEvents()) {
    if (e.kind == printer_emulator::ModelEvent::Kind::Text) {
      line = std::string(e.text.begin(), e.text.end());
      page = e.codePage;
      lines.push_back("text");
    } else if (e.kind == printer_emulator::ModelEvent::Kind::Command) {
      lines.push_back(e.label);
    }
  }
  EXPECT_EQ(line,
            "Cr\x8A"
            "me");
  EXPECT_EQ(page, 2);
  const std::vector<std::string> expected{"[printer]",
                                          "[init]",
                                          "[ASB on]",
                                          "[code page 2]",
                                          "[centre]",
                                          "[bold]",
                                          "text",
                                          "[barcode EAN13 \"4901234567894\"]",
                                          "[QR \"https://example.invalid/abc\"]",
                                          "[raster 576x120]",
                                          "[cut]",
                                          "[job end \"0001\"]"};
  // The header's page direction and motion units are counted, not shown.
  std::vector<std::string> shown;
  for (const auto& l : lines) {
    if (!l.empty()) shown.push_back(l);
  }
  EXPECT_EQ(shown, expected);
}

TEST(PrinterModel, JobEndComesWhenEarlierDataIsPrinted) {
  PrinterModel m;
  m.setPrintSpeed(1000);  // bytes per second
  const auto start = PrinterModel::Clock::now();
  const Bytes body(500, 'x');
  auto r = m.receive(job("0A1F", body), start);
  EXPECT_EQ(r, (Bytes{0x10, 0, 0, 0}));  // the ASB only: nothing printed yet
  // Real-time queries are answered at once, ahead of the waiting job end.
  r = m.receive(Bytes{0x10, 0x04, 0x01}, start + 10ms);
  EXPECT_EQ(r, (Bytes{0x12}));
  ASSERT_TRUE(m.nextDue());
  EXPECT_TRUE(m.advance(start + 200ms).empty());
  EXPECT_GT(m.bytesWaiting(), 0u);
  EXPECT_EQ(m.advance(start + 600ms), jobEnd("0A1F"));
  EXPECT_EQ(m.bytesWaiting(), 0u);
}

TEST(PrinterModel, HeldDataWaitsAndClearDropsIt) {
  PrinterModel m;
  m.setHoldPrinting(true);
  auto r = feed(m, job("0001", text("held\n")));
  EXPECT_EQ(r, (Bytes{0x10, 0, 0, 0}));
  EXPECT_EQ(feed(m, {0x10, 0x04, 0x04}), (Bytes{0x12}));  // still answers real-time commands
  // The buffer is cleared: the held job end is gone for good.
  EXPECT_EQ(feed(m, {0x10, 0x14, 0x08, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08}),
            (Bytes{'7', '%', 0}));
  m.setHoldPrinting(false);
  EXPECT_TRUE(m.advance().empty());
  EXPECT_EQ(m.bytesWaiting(), 0u);

  // Released without a clear, the job end comes.
  m.setHoldPrinting(true);
  EXPECT_EQ(feed(m, job("0002", text("x\n"))), (Bytes{0x10, 0, 0, 0}));  // GS a 255 again
  m.setHoldPrinting(false);
  EXPECT_EQ(m.advance(), jobEnd("0002"));

  m.setClearAcknowledged(false);
  EXPECT_TRUE(feed(m, {0x10, 0x14, 0x08, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08}).empty());
}

TEST(PrinterModel, JobIdModes) {
  struct Case {
    JobIdMode mode;
    Bytes replies;  // to jobs 0001 then 0002
  };
  const Case cases[] = {
      {JobIdMode::Echo, cat({jobEnd("0001"), jobEnd("0002")})},
      {JobIdMode::ReplaceFFFF, cat({jobEnd("FFFF"), jobEnd("FFFF")})},
      {JobIdMode::ReplaceABCD, cat({jobEnd("ABCD"), jobEnd("ABCD")})},
      {JobIdMode::Drop, {}},
      {JobIdMode::OutOfOrder, cat({jobEnd("0002"), jobEnd("0001")})},
      {JobIdMode::DropFirst, jobEnd("0002")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    PrinterModel m;
    m.setJobIdMode(c.mode);
    feed(m, {0x1D, 0x61, 0x00});
    Bytes got = feed(m, cat({job("0001", text("a\n")), {0x1D, 0x61, 0x00}}));
    const Bytes second = feed(m, cat({job("0002", text("b\n")), {0x1D, 0x61, 0x00}}));
    got.insert(got.end(), second.begin(), second.end());
    // Drop the ASBs the job headers ask for.
    Bytes ends;
    for (size_t i = 0; i < got.size();) {
      if (got[i] == 0x10) {
        i += 4;
      } else {
        ends.push_back(got[i++]);
      }
    }
    EXPECT_EQ(ends, c.replies);
  }
}

TEST(PrinterModel, RoutingNulsAndPowerOff) {
  PrinterModel m;
  // Display data is not printed and does not delay the printer's job end.
  m.setHoldPrinting(false);
  feed(m, {0x1B, 0x3D, 0x02});
  EXPECT_EQ(m.route(), printer_emulator::Route::Display);
  feed(m, text("WELCOME"));
  EXPECT_EQ(m.bytesPrinted(), 0u);
  // A block of NULs closes no open sequence by itself but is never printed.
  Bytes flush{0x1B, 0x3D, 0x01};
  flush.resize(400, 0);
  EXPECT_TRUE(feed(m, flush).empty());
  EXPECT_EQ(m.route(), printer_emulator::Route::Printer);
  EXPECT_EQ(m.bytesPrinted(), 0u);
  // An ESC t waiting for its parameter takes the first NUL of the block.
  feed(m, {0x1B, 0x74});
  feed(m, Bytes(10, 0));
  EXPECT_EQ(m.codePage(), 0);
  EXPECT_EQ(feed(m, {0x10, 0x04, 0x01}), (Bytes{0x12}));

  m.setPowerOff(true);
  EXPECT_TRUE(feed(m, {0x10, 0x04, 0x01}).empty());
  EXPECT_TRUE(feed(m, {0x1D, 0x61, 0xFF}).empty());
  m.setPowerOff(false);
  EXPECT_EQ(feed(m, {0x10, 0x04, 0x01}), (Bytes{0x12}));
}

}  // namespace

namespace {

TEST(PrinterModel, ScriptedRepliesFollowTheirCommandOnce) {
  PrinterModel m;
  m.scriptReply("DLE EOT 1", {'7', 0x22, 'A', 'B', 'C', 'D', 0});
  EXPECT_EQ(feed(m, {0x10, 0x04, 0x01}), cat({{0x12}, jobEnd("ABCD")}));
  EXPECT_EQ(feed(m, {0x10, 0x04, 0x01}), (Bytes{0x12}));
}

TEST(PrinterTranscript, DecodesTextAndNamesAnswers) {
  using printer_emulator::decodeText;
  using printer_emulator::formatEvent;
  using printer_emulator::ModelEvent;
  struct Case {
    Bytes text;
    uint8_t page;
    std::string utf8;
  };
  const Case cases[] = {
      {{'C', 'r', 0x8A, 'm', 'e', ' ', 'b', 'r', 0x96, 'l', 0x82, 'e'}, 2, "Crème brûlée"},
      {{0xD5, '8'}, 13, "€8"},  // the printer's page 857 has the euro sign
      {{0xD5, '8'}, 19, "€8"},  // page 858
      {{0x80}, 16, "€"},        // Windows 1252
      {{0x8A}, 99, "\\x8A"},    // a page nobody knows
      {{'a', 0x01}, 0, "a\\x01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(decodeText(c.text, c.page), c.utf8);
  }
  ModelEvent reply{ModelEvent::Kind::Reply, printer_emulator::Route::Printer, "[job end]",
                   jobEnd("0001"), 0};
  EXPECT_EQ(formatEvent(reply), "-> job end \"0001\": 37 22 30 30 30 31 00");
  ModelEvent line{ModelEvent::Kind::Text, printer_emulator::Route::Display, "", text("HI"), 0};
  EXPECT_EQ(formatEvent(line), "display: HI");
  ModelEvent micr{ModelEvent::Kind::Reply, printer_emulator::Route::Printer, "[MICR text]",
                  Bytes{'7', '*', 0x04, 0x40, 0x1F, 0x4D, 0x4E, 0}, 0};
  EXPECT_EQ(formatEvent(micr), "-> MICR text \"10\": 37 2A 04 40 1F 4D 4E 00");
}

// Each byte of a line is read in the coding in force when it came: a code
// page switched midway, or Kanji mode (FS &, with the country from ESC R)
// turned on or off within the line.
TEST(PrinterTranscript, ReadsEachByteInTheCodingOfItsMoment) {
  const Bytes escT{0x1B, 0x74};
  const Bytes kanjiOn{0x1C, 0x26}, kanjiOff{0x1C, 0x2E};
  const auto country = [](uint8_t n) { return Bytes{0x1B, 0x52, n}; };
  struct Case {
    const char* name;
    Bytes bytes;  // after ESC @, up to the line's LF
    std::string line;
    bool big5 = false;
  };
  const Case cases[] = {
      // Page 18 (852), 16 (1252) for the dash, 18 again, and 2 (850) before the LF.
      {"pages switched within the line",
       cat({escT,
            {18, 0xBD, 0xA2, 0x88, 0x86, ' '},
            escT,
            {16, 0x97},
            escT,
            {18, ' ', 'z', 0x88, 'o', 't', 'y'},
            escT,
            {2}}),
       "Żółć — złoty"},
      {"Japanese, with a half-width katakana",
       cat({country(8), {0x1C, 0x43, 0x01}, kanjiOn, {'A', 0x93, 0xFA, 0x96, 0x7B, 0xB1}}),
       "A日本ｱ"},
      {"simplified Chinese, a four-byte form too",
       cat({country(15), kanjiOn, {0xD6, 0xD0, 0xCE, 0xC4, 0x81, 0x30, 0x89, 0x38}}), "中文ß"},
      {"traditional Chinese", cat({country(15), kanjiOn, {0xA4, 0xA4, 0xA4, 0xE5}}), "中文", true},
      {"Korean", cat({country(13), kanjiOn, {0xC7, 0xD1, 0xB1, 0xB9}}), "한국"},
      {"Kanji mode off midway",
       cat({escT, {2}, country(8), kanjiOn, {0x93, 0xFA}, kanjiOff, {' ', 0x82}}), "日 é"},
      // A lead byte the line cut short shows as itself; the text goes on.
      {"a lone lead byte", cat({country(8), kanjiOn, {'a', 0x93}}), "a\\x93"},
      // Kanji mode without a double-byte country reads single bytes.
      {"no double-byte country", cat({escT, {2}, kanjiOn, {0x82}}), "é"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PrinterModel m;
    m.setChineseBig5(c.big5);
    feed(m, cat({{0x1B, 0x40}, c.bytes, {'\n'}}));
    std::vector<std::string> lines;
    for (const auto& e : m.takeEvents()) {
      if (e.kind == printer_emulator::ModelEvent::Kind::Text)
        lines.push_back(printer_emulator::formatEvent(e));
    }
    EXPECT_EQ(lines, std::vector<std::string>{c.line});
  }
  // ESC @ ends Kanji mode: the next job's bytes are single again.
  PrinterModel m;
  feed(m, cat({country(8), kanjiOn, {0x1B, 0x40}, escT, {2}, {0x82, '\n'}}));
  const auto events = m.takeEvents();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(printer_emulator::formatEvent(events.back()), "é");
}

}  // namespace

namespace {

struct Packet {
  int kind;
  Bytes bytes;
  bool operator==(const Packet&) const = default;
};

void collectPacket(int kind, const uint8_t* bytes, uint32_t length, void* user) {
  static_cast<std::vector<Packet>*>(user)->push_back({kind, Bytes(bytes, bytes + length)});
}

// The host's own splitter, fed one byte at a time, must find each answer as
// exactly one packet of the kind the host expects for it.
TEST(PrinterModel, HostSplitterFindsEachAnswerAsOnePacket) {
  using namespace tilo2::core;
  struct Case {
    Profile profile;
    Bytes query;
    std::vector<int> kinds;
  };
  const Case cases[] = {
      {Profile::Receipt, {0x1D, 0x61, 0xFF}, {kPrnReplyAutoStatus}},
      {Profile::Receipt, {0x10, 0x04, 0x01}, {kPrnReplyRealtimeByte}},
      {Profile::Receipt, {0x10, 0x04, 0x04}, {kPrnReplyRealtimeByte}},
      {Profile::Receipt, {0x10, 0x04, 0x12, 0x02}, {kPrnReplyRealtimeByte}},
      {Profile::Interrupt, {0x10, 0x04, 0x12, 0x01}, {kPrnReplyRealtimeByte}},
      {Profile::Receipt,
       {0x10, 0x14, 0x14, 0x00, 0x00, 0x01, 0x08},
       {kPrnReplyAutoStatus, kPrnReplyBlock9}},
      {Profile::Receipt, {0x10, 0x14, 0x07, 0x02}, {kPrnReplyBlock9}},
      {Profile::Receipt, {0x10, 0x14, 0x07, 0x04}, {kPrnReplySeven}},
      {Profile::Battery, {0x10, 0x14, 0x07, 0x05}, {kPrnReplySeven}},
      {Profile::Receipt,
       {0x10, 0x14, 0x08, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08},
       {kPrnReplySeven}},
      {Profile::Interrupt,
       {0x10, 0x14, 0x06, 0x04, 0x00, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08},
       {kPrnReplySeven}},
      {Profile::Receipt, {0x1D, 0x49, 0x01}, {kPrnReplyStatusByte}},
      {Profile::Line, {0x1D, 0x49, 0x01}, {kPrnReplyStatusByte}},
      {Profile::Receipt, {0x1D, 0x49, 0x21}, {kPrnReplyEquals}},
      {Profile::Receipt, {0x1D, 0x49, 0x43}, {kPrnReplyUnderscore}},
      {Profile::Receipt,
       {0x1D, 0x28, 0x45, 0x02, 0x00, 0x06, 0x03, 0x1D, 0x49, 0x6E},
       {kPrnReplySeven, kPrnReplyEquals}},
      {Profile::Receipt, {0x1D, 0x28, 0x45, 0x02, 0x00, 0x06, 0x0B}, {kPrnReplySeven}},
      {Profile::Receipt, job("0A1F", {}), {kPrnReplyAutoStatus, kPrnReplySeven}},
      {Profile::Impact, {0x1D, 0x72, 0x01}, {kPrnReplyStatusByte}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.query) + " on " + profileName(c.profile));
    PrinterModel m(c.profile);
    Faults f;  // every status bit a fault can set, so no form hides behind zeros
    f.coverOpen = f.nearEnd = f.paperEnd = f.feed = f.panelSwitch = f.offlineReason = true;
    f.autoRecoverable = true;
    f.offlineReasons = 0x1F;
    m.setFaults(f);
    m.feed(c.query);
    const auto replies = m.takeReplies();
    EXPECT_EQ(replies.size(), c.kinds.size());
    std::vector<Packet> expected;
    Bytes stream;
    for (size_t i = 0; i < replies.size(); ++i) {
      ASSERT_LT(i, c.kinds.size());
      expected.push_back({c.kinds[i], replies[i].bytes});
      stream.insert(stream.end(), replies[i].bytes.begin(), replies[i].bytes.end());
    }
    std::vector<Packet> got;
    PrnReplyRemainder_t remainder{nullptr, 0};
    for (uint8_t b : stream) {
      ASSERT_EQ(PrnSplitReplyStream(&remainder, &b, 1, collectPacket, &got), 0);
    }
    EXPECT_EQ(remainder.length, 0);  // nothing left waiting
    PrnReplyRemainderFree(&remainder);
    EXPECT_EQ(got, expected);
  }
}

}  // namespace

namespace printer_emulator {

// Readable failures for the hybrid state.
void PrintTo(const HybridStatus& h, std::ostream* out) {
  *out << "{wait " << static_cast<int>(h.wait) << ", micrRead " << h.micrRead << ", slip "
       << h.slipSheet << ", validation " << h.validationSheet << ", removal " << h.removalWaiting
       << ", cueing error " << h.cueingError << "}";
}

}  // namespace printer_emulator

namespace {

using printer_emulator::HybridStatus;
using printer_emulator::MicrResult;
using printer_emulator::SheetPath;
using Wait = HybridStatus::Wait;

// The sequences the print engine writes to a hybrid printer (t = 500 ms).
const Bytes kPrologue{0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C, 0x28,
                      0x65, 0x02, 0x00, 0x33, 0xFF, 0x1B, 0x66, 0x00, 0x05};
const Bytes kSlip{0x1D, 0x28, 0x47, 0x02, 0x00, 0x30, 0x04, 0x1D, 0x28,
                  0x47, 0x02, 0x00, 0x54, 0x01, 0x1B, 0x63, 0x31, 0x04};
const Bytes kValidation{0x1D, 0x28, 0x47, 0x02, 0x00, 0x30, 0x44, 0x1D, 0x28,
                        0x47, 0x02, 0x00, 0x54, 0x01, 0x1B, 0x63, 0x31, 0x40};
const Bytes kMicrInsertion{0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C, 0x28, 0x65, 0x02,
                           0x00, 0x33, 0xFF, 0x1B, 0x63, 0x31, 0x08, 0x1B, 0x66, 0x00, 0x05, 0x1B,
                           0x63, 0x30, 0x08, 0x1D, 0x28, 0x47, 0x02, 0x00, 0x54, 0x01};
const Bytes kMicrHead{0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C, 0x28, 0x65, 0x02,
                      0x00, 0x33, 0xFF, 0x1B, 0x63, 0x31, 0x04, 0x1B, 0x66, 0x00, 0x05, 0x1C,
                      0x28, 0x66, 0x06, 0x00, 0x01, 0x01, 0x03, 0x01, 0x04, 0x01};
const Bytes kMicrRead = cat({kMicrHead, {0x1C, 0x61, 0x30, 0x00}});
const Bytes kCleaning = cat({kMicrHead, {0x1C, 0x63}});
const Bytes kCancel{0x1B, 0x3D, 0x01, 0x10, 0x05, 0x03};
const Bytes kEject{0x1B, 0x3D, 0x01, 0x0C};
const Bytes kAsbOn{0x1B, 0x3D, 0x01, 0x1D, 0x61, 0xFF};

Bytes asb(uint8_t b2, uint8_t b3) { return {0x10, 0x00, b2, b3}; }
const Bytes kIdle = asb(0x00, 0x0A);
const Bytes kWaiting = asb(0x02, 0x0A);

// A hybrid printer with automatic status on, its first answer taken.
PrinterModel hybridPrinter() {
  PrinterModel m(Profile::Hybrid);
  EXPECT_EQ(feed(m, kAsbOn), kIdle);
  return m;
}

TEST(PrinterModel, HybridStatusBitsAndSwitches) {
  struct Case {
    const char* name;
    void (*set)(PrinterModel&);
    Bytes asb;
  };
  const Case cases[] = {
      {"idle: no sheet in either path", [](PrinterModel&) {}, kIdle},
      {"sheet in the slip path", [](PrinterModel& m) { m.setSheetInserted(SheetPath::Slip, true); },
       asb(0x00, 0x08)},
      {"sheet in the validation path",
       [](PrinterModel& m) { m.setSheetInserted(SheetPath::Validation, true); }, asb(0x00, 0x02)},
      {"removal waiting", [](PrinterModel& m) { m.setRemovalWaiting(true); }, asb(0x08, 0x0A)},
      {"slip sensors", [](PrinterModel& m) { m.setSlipSensors(0x03); }, asb(0x60, 0x0A)},
      {"roll paper near end and end",
       [](PrinterModel& m) {
         Faults f;
         f.nearEnd = f.paperEnd = true;
         m.setFaults(f);
       },
       {0x18, 0x00, 0x05, 0x0A}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PrinterModel m = hybridPrinter();
    c.set(m);
    const auto status = m.asb();
    EXPECT_EQ(Bytes(status.begin(), status.end()), c.asb);
    // An ASB change goes out unasked, and only one.
    EXPECT_EQ(m.takeOutput(), c.asb == kIdle ? Bytes{} : c.asb);
  }
  // A receipt printer has no paths: the switches leave its status alone.
  PrinterModel receipt;
  receipt.setSheetInserted(SheetPath::Slip, true);
  receipt.setRemovalWaiting(true);
  EXPECT_EQ(receipt.asb(), (std::array<uint8_t, 4>{0x10, 0, 0, 0}));
  EXPECT_FALSE(receipt.insertSheet(SheetPath::Slip));
}

TEST(PrinterModel, HybridSupportBitsAndInformationKind) {
  const Bytes query{0x1B, 0x3D, 0x01, 0x1D, 0x49, 0x21};
  PrinterModel m(Profile::Hybrid);
  // Endorsement (bit 5) and MICR (bit 3) in the second byte, validation (bit 5) in the third.
  EXPECT_EQ(feed(m, query), (Bytes{'=', '!', 0x68, 0x60, 0}));
  m.setExtendedInfo(true);
  const auto extended = feed(m, query);
  EXPECT_EQ(extended, (Bytes{'=', '!', 0x68, 0x60, 0x42, 0}));
  EXPECT_TRUE(wellFormed(extended));
  EXPECT_EQ(feed(m, {0x1D, 0x49, 0x01}), (Bytes{0x2A}));
}

TEST(PrinterModel, HybridInsertionWaitsUntilTheTrigger) {
  struct Case {
    const char* name;
    Bytes sequence;
    Wait wait;
    SheetPath path;
    Bytes inserted;  // the status once the sheet is in
  };
  const Case cases[] = {
      {"slip", cat({kPrologue, kSlip}), Wait::Slip, SheetPath::Slip, asb(0x00, 0x08)},
      {"validation", cat({kPrologue, kValidation}), Wait::Validation, SheetPath::Validation,
       asb(0x00, 0x02)},
      {"MICR", kMicrInsertion, Wait::Micr, SheetPath::Slip, asb(0x00, 0x08)},
      {"slip into the validation path", cat({kPrologue, kSlip}), Wait::Slip, SheetPath::Validation,
       asb(0x00, 0x02)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool split : {false, true}) {
      PrinterModel m = hybridPrinter();
      Bytes got;
      if (split) {
        for (uint8_t b : c.sequence) {
          const auto r = m.receive(Bytes{b});
          got.insert(got.end(), r.begin(), r.end());
        }
      } else {
        got = feed(m, c.sequence);
      }
      // GS a in the prologue answers the status at once, then the wait begins.
      EXPECT_EQ(got, cat({kIdle, kWaiting}));
      EXPECT_EQ(m.hybrid().wait, c.wait);
      // A receipt job meanwhile ends as usual and leaves the wait alone.
      EXPECT_EQ(feed(m, job("0002", text("receipt\n"))), cat({kWaiting, jobEnd("0002")}));
      EXPECT_EQ(m.hybrid().wait, c.wait);
      // Nothing happens by itself, however long nobody inserts a sheet.
      EXPECT_TRUE(m.advance(PrinterModel::Clock::now() + std::chrono::hours(1)).empty());
      EXPECT_EQ(m.nextDue(), std::nullopt);
      EXPECT_TRUE(m.insertSheet(c.path));
      EXPECT_EQ(m.takeOutput(), c.inserted);
      EXPECT_EQ(m.hybrid().wait, Wait::None);
      EXPECT_FALSE(m.insertSheet(c.path));  // that path is taken
    }
  }
}

TEST(PrinterModel, HybridCancelEjectAndRemove) {
  const Bytes cancelled = {'7', '*', 0x20, 'B', 0x40, 0};
  struct Case {
    const char* name;
    Bytes start;
    Bytes afterCancel;
  };
  const Case cases[] = {
      {"insertion wait", cat({kPrologue, kSlip}), kIdle},
      {"MICR read", kMicrRead, cat({kIdle, cancelled})},
      {"cleaning", kCleaning, kIdle},
      {"nothing running", kAsbOn, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PrinterModel m = hybridPrinter();
    feed(m, c.start);
    EXPECT_EQ(feed(m, kCancel), c.afterCancel);
    EXPECT_EQ(m.hybrid(), HybridStatus{});
  }

  PrinterModel m = hybridPrinter();
  EXPECT_TRUE(feed(m, kEject).empty());  // nothing to eject
  EXPECT_FALSE(m.removeSheet());
  m.setSheetInserted(SheetPath::Slip, true);
  EXPECT_EQ(m.takeOutput(), asb(0x00, 0x08));
  EXPECT_EQ(feed(m, kEject), asb(0x08, 0x08));  // the sheet waits to be taken
  EXPECT_TRUE(m.removeSheet());
  EXPECT_EQ(m.takeOutput(), kIdle);
  EXPECT_EQ(m.bytesPrinted(), 0u);  // FF is a command here, not print data

  // Power off ends a wait; the sheet stays where it is.
  PrinterModel off = hybridPrinter();
  off.setSheetInserted(SheetPath::Validation, true);
  feed(off, kMicrRead);
  off.setPowerOff(true);
  off.setPowerOff(false);
  HybridStatus left;
  left.validationSheet = true;
  EXPECT_EQ(off.hybrid(), left);
}

// Built field by field: a nested brace list with a string inside a table of
// cases trips GCC's optimised "may be used uninitialized" check.
MicrResult Micr(const char* text, bool inverted, char error) {
  MicrResult result;
  result.text = text;
  result.inverted = inverted;
  result.error = error;
  return result;
}
MicrResult MicrError(char letter) { return Micr("", false, letter); }

TEST(PrinterModel, MicrReadAnswersTextOrErrorLetter) {
  struct Case {
    MicrResult result;
    Bytes reply;
  };
  const std::vector<Case> cases = {
      {Micr("10", true, 0), {'7', '*', 0x04, 0x40, 0x1F, 0x4D, 0x4E, 0}},
      {Micr("T123T", false, 0), cat({{'7', '*', 0x40, 0x40, 0x1F}, text("T123T"), {0}})},
      {MicrError('A'), {'7', '*', 0x20, 'A', 0x40, 0}},
      {MicrError('J'), {'7', '*', 0x20, 'J', 0x40, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.reply));
    PrinterModel m = hybridPrinter();
    EXPECT_FALSE(m.answerMicr(c.result));  // no read yet
    EXPECT_EQ(feed(m, kMicrRead), cat({kIdle, kWaiting}));
    EXPECT_EQ(m.hybrid().wait, Wait::MicrRead);
    // The check goes in, then the reader answers.
    EXPECT_TRUE(m.answerMicr(c.result));
    const auto out = m.takeOutput();
    EXPECT_EQ(out, cat({asb(0x00, 0x08), c.reply}));
    EXPECT_TRUE(wellFormed(out));
    EXPECT_FALSE(m.hybrid().micrRead);
    EXPECT_FALSE(m.answerMicr(c.result));  // answered once
  }
  // Results that cannot be sent are refused, and the read goes on.
  const MicrResult refused[] = {MicrError('K'), {"~", true, 0}, {std::string(1, '\0'), false, 0}};
  PrinterModel m = hybridPrinter();
  feed(m, kMicrRead);
  for (const auto& r : refused) EXPECT_FALSE(m.answerMicr(r));
  EXPECT_TRUE(m.hybrid().micrRead);
  // With the check already in, the read only waits for its result.
  PrinterModel in = hybridPrinter();
  in.setSheetInserted(SheetPath::Slip, true);
  in.takeOutput();
  EXPECT_EQ(feed(in, kMicrRead), asb(0x00, 0x08));
  EXPECT_EQ(in.hybrid().wait, Wait::None);
  EXPECT_TRUE(in.answerMicr({"7", false, 0}));
  EXPECT_EQ(in.takeOutput(), (Bytes{'7', '*', 0x40, 0x40, 0x1F, '7', 0}));
  // Every letter A..J is a reply of its own form.
  for (char letter = 'A'; letter <= 'J'; ++letter) {
    PrinterModel each = hybridPrinter();
    feed(each, kMicrRead);
    EXPECT_TRUE(each.answerMicr({"", false, letter}));
    EXPECT_EQ(each.takeOutput(),
              cat({asb(0x00, 0x08), {'7', '*', 0x20, static_cast<uint8_t>(letter), 0x40, 0}}));
  }
}

TEST(PrinterModel, HybridPullOutAndCleaning) {
  const Bytes pulled{'7', 'N', 0x40, '0', 0};
  struct Case {
    const char* name;
    Bytes start;
    Bytes afterPullOut;
  };
  const Case cases[] = {
      {"insertion wait", cat({kPrologue, kSlip}), cat({pulled, kIdle})},
      {"MICR read", kMicrRead, cat({pulled, kIdle})},
      {"nothing running", kAsbOn, pulled},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PrinterModel m = hybridPrinter();
    feed(m, c.start);
    m.pullOut();
    const auto out = m.takeOutput();
    EXPECT_EQ(out, c.afterPullOut);
    EXPECT_TRUE(wellFormed(out));
    EXPECT_EQ(m.hybrid(), HybridStatus{});
  }

  PrinterModel m = hybridPrinter();
  EXPECT_FALSE(m.cleaningSheetPassed());
  EXPECT_EQ(feed(m, kCleaning), cat({kIdle, kWaiting}));
  EXPECT_EQ(m.hybrid().wait, Wait::Cleaning);
  EXPECT_FALSE(m.insertSheet(SheetPath::Slip));  // the cleaning sheet is not a slip
  EXPECT_TRUE(m.cleaningSheetPassed());
  EXPECT_EQ(m.takeOutput(), kIdle);
  // A reader that never asks for the cleaning sheet.
  m.setCleaningNeverWaits(true);
  EXPECT_EQ(feed(m, kCleaning), kIdle);
  EXPECT_EQ(m.hybrid().wait, Wait::None);
}

TEST(PrinterModel, InsertionWaitEndsByItselfWithTheSwitch) {
  const auto t0 = PrinterModel::Clock::now();
  struct Case {
    const char* name;
    Bytes sequence;
    Bytes atEnd;
  };
  const Case cases[] = {
      {"slip", cat({kPrologue, kSlip}), kIdle},
      {"MICR read: timeout letter", kMicrRead, cat({kIdle, {'7', '*', 0x20, 'C', 0x40, 0}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PrinterModel m(Profile::Hybrid);
    m.setInsertionAutoEnd(true);
    feed(m, kAsbOn);
    EXPECT_EQ(m.receive(c.sequence, t0), cat({kIdle, kWaiting}));
    // ESC f 0 5: 500 ms.
    EXPECT_EQ(m.nextDue(), t0 + 500ms);
    EXPECT_TRUE(m.advance(t0 + 499ms).empty());
    EXPECT_EQ(m.advance(t0 + 500ms), c.atEnd);
    EXPECT_EQ(m.hybrid(), HybridStatus{});
    EXPECT_EQ(m.nextDue(), std::nullopt);
  }
}

TEST(PrinterModel, CueingReportsTheSlipDrawnIn) {
  // A slip insertion without the prologue: the cueing of a paper-type selection.
  PrinterModel m = hybridPrinter();
  // (word & 03000000h) = 02000000h, then 0.
  EXPECT_EQ(feed(m, kSlip), cat({kWaiting, asb(0x00, 0x08)}));
  EXPECT_TRUE(m.hybrid().slipSheet);
  EXPECT_EQ(m.hybrid().wait, Wait::None);
  // A sheet already in goes the same way.
  EXPECT_EQ(feed(m, kSlip), cat({kWaiting, asb(0x00, 0x08)}));

  // A sheet that does not come by itself: the printer waits as for an insertion.
  PrinterModel stalled = hybridPrinter();
  stalled.setCueingStalls(true);
  EXPECT_EQ(feed(stalled, kSlip), kWaiting);
  EXPECT_EQ(stalled.hybrid().wait, Wait::Slip);
  EXPECT_TRUE(stalled.insertSheet(SheetPath::Slip));
  EXPECT_EQ(stalled.takeOutput(), asb(0x00, 0x08));

  PrinterModel failing = hybridPrinter();
  failing.setCueingError(true);
  EXPECT_EQ(feed(failing, kValidation), cat({kWaiting, asb(0x00, 0x0B)}));  // bit 24
  EXPECT_TRUE(failing.hybrid().cueingError);
  // The recovery's clear buffer ends the error.
  EXPECT_EQ(feed(failing, {0x10, 0x14, 0x08, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08}),
            cat({{'7', '%', 0}, kIdle}));
}

TEST(PrinterModel, ExtendedStatusErrorsWhileOfflineWithReason) {
  struct Case {
    uint8_t bits;
    uint8_t second;
  };
  const Case cases[] = {{0x04, 0x44}, {0x08, 0x48}, {0x0C, 0x4C}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.bits));
    PrinterModel m(Profile::Hybrid);
    Faults f;
    f.offlineReason = true;
    m.setFaults(f);
    m.setExtendedStatus(c.bits);
    EXPECT_EQ(feed(m, {0x10, 0x14, 0x14, 0x00, 0x00, 0x01, 0x08}),
              (Bytes{0x18, 0x01, 0x00, 0x0A, '9', c.second, 0x40, 0}));
  }
}

TEST(PrinterModel, DisplayDataPassesThroughUntouched) {
  // The display's own commands (ESC @, FF) are neither printed nor obeyed by
  // the printer; the job-id request after ESC = 1 is answered as usual.
  PrinterModel m(Profile::Hybrid);
  m.setSheetInserted(SheetPath::Slip, true);
  const Bytes body{0x1B, 0x40, 0x0C, 'H', 'I', 0x1B};
  const Bytes tail{0x3D, 0x01, 0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30, '1', '0', '0', '0'};
  EXPECT_TRUE(feed(m, cat({{0x1B, 0x3D, 0x02}, body})).empty());
  EXPECT_EQ(feed(m, tail), jobEnd("1000"));
  EXPECT_FALSE(m.hybrid().removalWaiting);
  EXPECT_EQ(m.bytesPrinted(), 0u);
  const auto routed = m.takeRouted();
  ASSERT_EQ(routed.size(), 3u);
  EXPECT_EQ(routed[1].route, printer_emulator::Route::Display);
  EXPECT_EQ(routed[1].bytes, Bytes(body.begin(), body.end() - 1));
  std::vector<std::string> lines;
  for (const auto& e : m.takeEvents()) lines.push_back(printer_emulator::formatEvent(e));
  EXPECT_NE(std::find(lines.begin(), lines.end(), "display: \\x1B@\\x0CHI"), lines.end())
      << ::testing::PrintToString(lines);
}

}  // namespace

namespace {

TEST(PrinterModel, AutoInsertAndMicrResultForAProgramRunByHand) {
  struct Case {
    const char* name;
    Bytes sequence;
    Bytes after;  // behind the prologue's own status answer
  };
  const Case cases[] = {
      {"slip", cat({kPrologue, kSlip}), cat({kWaiting, asb(0x00, 0x08)})},
      {"validation", cat({kPrologue, kValidation}), cat({kWaiting, asb(0x00, 0x02)})},
      {"MICR read", kMicrRead,
       cat({kWaiting, asb(0x00, 0x08), {'7', '*', 0x40, 0x40, 0x1F, '4', '2', 0}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PrinterModel m = hybridPrinter();
    m.setAutoInsert(true);
    m.setMicrAutoResult(MicrResult{"42", false, 0});
    EXPECT_EQ(feed(m, c.sequence), cat({kIdle, c.after}));
    EXPECT_EQ(m.hybrid().wait, Wait::None);
    EXPECT_FALSE(m.hybrid().micrRead);
  }
}

}  // namespace
