// The printer model behind the network front, driven with plain sockets:
// answers, unsolicited status, power off, scripted disconnects and the
// shaping of replies, the log. Addresses 127.0.0.100-109 (the ranges of the
// other io tests are full).

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "io_test_support.h"
#include "kdpx_reply.h"
#include "transcript.h"

namespace {

using namespace std::chrono_literals;
using printer_emulator::Disconnect;
using printer_emulator::DisconnectPoint;
using printer_emulator::Faults;
using printer_emulator::KdpxDatagram;
using printer_emulator::ReplyClass;
using printer_emulator::ReplyShape;
using Bytes = std::vector<uint8_t>;

constexpr int kWaitMs = 10000;

bool sendAll(int fd, const Bytes& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Reads until count bytes are in or the wait is over; chunks counts the reads.
Bytes readBytes(int fd, size_t count, int waitMs = kWaitMs, int* chunks = nullptr) {
  Bytes got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (got.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    uint8_t buffer[256];
    const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - got.size()), 0);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
    if (chunks) ++*chunks;
  }
  return got;
}

std::vector<Bytes> exchange(const std::string& ip, char type, uint32_t command, int waitMs) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(3289);
  inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
  const auto request = printer_emulator::encodeKdpx(KdpxDatagram{type, command, 0, {}});
  ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
  std::vector<Bytes> replies;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, waitMs) > 0) {
    uint8_t buffer[512];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n >= 0) replies.emplace_back(buffer, buffer + n);
  }
  ::close(fd);
  return replies;
}

Bytes job(const std::string& id, const std::string& body) {
  Bytes out{0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF};
  out.insert(out.end(), body.begin(), body.end());
  out.resize(out.size() + 128, 0);
  const Bytes request{0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30};
  out.insert(out.end(), request.begin(), request.end());
  out.insert(out.end(), id.begin(), id.end());
  return out;
}

Bytes jobEnd(const std::string& id) {
  Bytes out(id.size() + 3, 0);  // built in place: GCC 12 misreads an insert here
  out[0] = '7';
  out[1] = 0x22;
  std::copy(id.begin(), id.end(), out.begin() + 2);
  return out;
}

TEST(PrinterFront, AnswersStatusAndJobsThroughTheModel) {
  const int n = 100;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  const int data = io_test::connectDataPort(io_test::address(n));
  ASSERT_GE(data, 0);
  ASSERT_TRUE(emu->waitForClient(5s));

  // A query split between two writes is answered once it is whole.
  ASSERT_TRUE(sendAll(data, {0x1B, 0x3D, 0x01, 0x1D, 0x61, 0xFF, 0x10}));
  EXPECT_EQ(readBytes(data, 4), (Bytes{0x10, 0, 0, 0}));
  ASSERT_TRUE(sendAll(data, {0x04, 0x01}));
  EXPECT_EQ(readBytes(data, 1), (Bytes{0x12}));

  // A control call changes the status: the ASB goes out unasked.
  Faults f;
  f.coverOpen = true;
  emu->state().setFaults(f);
  EXPECT_EQ(readBytes(data, 4), (Bytes{0x38, 0, 0, 0}));
  auto r = exchange(io_test::address(n), 'Q', 0x03000010, kWaitMs);
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].size(), 27u);
  EXPECT_EQ(Bytes(r[0].begin() + 15, r[0].begin() + 19), (Bytes{0x38, 0, 0, 0}));
  r = exchange(io_test::address(n), 'Q', 0x03000021, kWaitMs);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0][14] & 0x02, 0x02);  // offline while the cover is open
  emu->state().setFaults({});
  EXPECT_EQ(readBytes(data, 4), (Bytes{0x10, 0, 0, 0}));

  // A job: its header's GS a 255 answers the ASB, its trailer the job end.
  ASSERT_TRUE(sendAll(data, job("0001", "Hello\n")));
  EXPECT_EQ(readBytes(data, 11), (Bytes{0x10, 0, 0, 0, '7', 0x22, '0', '0', '0', '1', 0}));
  ::close(data);
}

TEST(PrinterFront, PowerOffSilencesThePrinter) {
  struct Case {
    bool statusF000;
  };
  const int n = 101;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  for (const Case c : {Case{false}, Case{true}}) {
    SCOPED_TRACE(c.statusF000);
    const int data = io_test::connectDataPort(io_test::address(n));
    ASSERT_GE(data, 0);
    ASSERT_TRUE(emu->waitForClient(5s));
    emu->state().setPowerOff(true, c.statusF000);
    ASSERT_TRUE(sendAll(data, {0x10, 0x04, 0x01, 0x1D, 0x61, 0xFF}));
    ASSERT_TRUE(emu->waitForTcpBytes(6, 5s));
    // The client query reports no client although the connection is up.
    auto r = exchange(io_test::address(n), 'Q', 0x03000017, kWaitMs);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(Bytes(r[0].begin() + 14, r[0].end()), (Bytes{0, 0, 0, 0}));
    r = exchange(io_test::address(n), 'Q', 0x03000010, c.statusF000 ? kWaitMs : 300);
    if (c.statusF000) {
      ASSERT_EQ(r.size(), 1u);
      EXPECT_EQ((r[0][10] << 8) | r[0][11], 0xF000);
    } else {
      EXPECT_TRUE(r.empty());
    }
    EXPECT_TRUE(readBytes(data, 1, 200).empty());  // nothing on the data port

    // Back on, it answers again.
    emu->state().setPowerOff(false);
    ASSERT_TRUE(sendAll(data, {0x10, 0x04, 0x01}));
    EXPECT_EQ(readBytes(data, 1), (Bytes{0x12}));
    ::close(data);
    ASSERT_TRUE(emu->waitForNoClient(5s));
  }
}

TEST(PrinterFront, DisconnectsAtTheScriptedPoint) {
  struct Case {
    const char* name;
    Disconnect disconnect;
    Bytes send;
    Bytes before;  // what arrives before the connection ends
  };
  const Bytes poll{0x10, 0x04, 0x01};
  Bytes twoPolls = poll;
  twoPolls.insert(twoPolls.end(), poll.begin(), poll.end());
  const Case cases[] = {
      {"during a job", {DisconnectPoint::AfterBytes, 4, true}, job("0001", "text\n"), {}},
      {"after a job",
       {DisconnectPoint::AfterJobEnd, 1, false},
       job("0002", "text\n"),
       {0x10, 0, 0, 0, '7', 0x22, '0', '0', '0', '2', 0}},
      {"between polls", {DisconnectPoint::AfterRealtime, 2, true}, twoPolls, {0x12, 0x12}},
  };
  const int n = 102;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emu->scheduleDisconnect(c.disconnect);
    const int data = io_test::connectDataPort(io_test::address(n));
    ASSERT_GE(data, 0);
    ASSERT_TRUE(emu->waitForClient(5s));
    ASSERT_TRUE(sendAll(data, c.send));
    if (!c.before.empty()) {
      EXPECT_EQ(readBytes(data, c.before.size()), c.before);
    }
    ASSERT_TRUE(emu->waitForNoClient(5s));
    pollfd p{data, POLLIN, 0};
    ASSERT_GT(::poll(&p, 1, 5000), 0);
    uint8_t byte = 0;
    const ssize_t k = ::recv(data, &byte, 1, 0);
    if (c.disconnect.reset) {
      EXPECT_LT(k, 0);
      EXPECT_EQ(errno, ECONNRESET);
    } else {
      EXPECT_EQ(k, 0);
    }
    ::close(data);
  }
}

TEST(PrinterFront, RepliesAreShapedAndDelayed) {
  const int n = 103;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  const int data = io_test::connectDataPort(io_test::address(n));
  ASSERT_GE(data, 0);
  ASSERT_TRUE(emu->waitForClient(5s));

  // Junk and an ASB ahead of the answer: the host's splitter must cope.
  ReplyShape shape;
  shape.junk = true;
  shape.asbBetweenBlocks = true;
  emu->setReplyShape(shape);
  ASSERT_TRUE(sendAll(data, {0x10, 0x04, 0x02}));
  EXPECT_EQ(readBytes(data, 6), (Bytes{0xFF, 0x10, 0, 0, 0, 0x12}));

  // Split at each byte: the offline response arrives in more than one piece.
  emu->setReplyShape({true, false, false});
  ASSERT_TRUE(sendAll(data, {0x10, 0x14, 0x07, 0x04}));
  int chunks = 0;
  EXPECT_EQ(readBytes(data, 8, kWaitMs, &chunks),
            (Bytes{'7', '#', 0x40, 0x40, 0x40, 0x40, 0x40, 0}));
  EXPECT_GT(chunks, 1);

  // A delay for real-time answers holds them back that long.
  emu->setReplyShape({});
  emu->setReplyDelay(ReplyClass::Realtime, 300ms);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(sendAll(data, {0x10, 0x04, 0x01}));
  EXPECT_EQ(readBytes(data, 1), (Bytes{0x12}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

  // The receive buffer is full: the job end waits, real-time answers do not.
  emu->setReplyDelay(ReplyClass::Realtime, 0ms);
  emu->state().withModel([](printer_emulator::PrinterModel& m) { m.setHoldPrinting(true); });
  ASSERT_TRUE(sendAll(data, job("0003", "held\n")));
  EXPECT_EQ(readBytes(data, 4), (Bytes{0x10, 0, 0, 0}));
  ASSERT_TRUE(sendAll(data, {0x10, 0x04, 0x04}));
  EXPECT_EQ(readBytes(data, 1), (Bytes{0x12}));
  emu->state().withModel([](printer_emulator::PrinterModel& m) { m.setHoldPrinting(false); });
  EXPECT_EQ(readBytes(data, 7), jobEnd("0003"));
  ::close(data);
}

}  // namespace

namespace {

// An emulator with its own options (a small log) on a claimed address.
std::unique_ptr<printer_emulator::PrinterEmulator> startWith(int n, printer_emulator::Options o) {
  io_test::claimAddress(n);
  o.address = io_test::address(n);
  auto emu = std::make_unique<printer_emulator::PrinterEmulator>(o);
  std::string error;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!emu->start(&error)) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << error;
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return emu;
}

using printer_emulator::LogChannel;
using printer_emulator::LogEntry;

// Reads the log until it holds count more entries or the wait is over.
std::vector<LogEntry> readLogEntries(printer_emulator::PrinterEmulator& emu, uint64_t& cursor,
                                     size_t count) {
  std::vector<LogEntry> got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (got.size() < count && std::chrono::steady_clock::now() < end) {
    auto more = emu.readLog(cursor);
    got.insert(got.end(), more.begin(), more.end());
    if (got.size() < count) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return got;
}

TEST(PrinterFront, LogIsReadIncrementallyByChannel) {
  const int n = 104;
  printer_emulator::Options o;
  o.keepArrivals = false;
  auto emu = startWith(n, o);
  ASSERT_TRUE(emu);
  const int data = io_test::connectDataPort(io_test::address(n));
  ASSERT_GE(data, 0);
  ASSERT_TRUE(emu->waitForClient(5s));
  ASSERT_TRUE(sendAll(data, {0x1B, 0x3D, 0x02, 'H', 'I', 0x1B, 0x3D, 0x01, 0x10, 0x04, 0x01}));
  EXPECT_EQ(readBytes(data, 1), (Bytes{0x12}));

  uint64_t cursor = 0;
  const auto entries = readLogEntries(*emu, cursor, 4);
  ASSERT_EQ(entries.size(), 4u);
  struct Expect {
    LogChannel channel;
    bool fromPrinter;
    Bytes bytes;
  };
  const Expect expected[] = {
      {LogChannel::TcpPrinter, false, {0x1B, 0x3D, 0x02}},
      {LogChannel::TcpDisplay, false, {'H', 'I'}},
      {LogChannel::TcpPrinter, false, {0x1B, 0x3D, 0x01, 0x10, 0x04, 0x01}},
      {LogChannel::TcpPrinter, true, {0x12}},
  };
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(entries[i].sequence, i);
    EXPECT_EQ(entries[i].channel, expected[i].channel);
    EXPECT_EQ(entries[i].fromPrinter, expected[i].fromPrinter);
    EXPECT_EQ(entries[i].bytes, expected[i].bytes);
  }
  EXPECT_EQ(cursor, 4u);
  EXPECT_TRUE(emu->readLog(cursor).empty());  // nothing new, nothing again

  // A control request and its reply come next, and are counted.
  ASSERT_EQ(exchange(io_test::address(n), 'Q', 0x03000010, kWaitMs).size(), 1u);
  const auto udp = readLogEntries(*emu, cursor, 2);
  ASSERT_EQ(udp.size(), 2u);
  EXPECT_EQ(udp[0].channel, LogChannel::Udp);
  EXPECT_FALSE(udp[0].fromPrinter);
  EXPECT_TRUE(udp[1].fromPrinter);
  const auto counts = emu->commandCounts();
  EXPECT_EQ(counts.at("DLE EOT 1"), 1u);
  EXPECT_EQ(counts.at("ESC ="), 2u);
  EXPECT_EQ(counts.at("UDP Q 03000010"), 1u);
  EXPECT_TRUE(emu->arrivals().empty());  // not kept when the log is read instead
  ::close(data);
}

TEST(PrinterFront, LogKeepsItsLimit) {
  const int n = 105;
  printer_emulator::Options o;
  o.logLimit = 2;
  auto emu = startWith(n, o);
  ASSERT_TRUE(emu);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(exchange(io_test::address(n), 'Q', 0x03000010, kWaitMs).size(), 1u);
  }
  // Six entries went in (three requests, three replies); the last two stay.
  uint64_t cursor = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (emu->logDropped() < 4 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(emu->logDropped(), 4u);
  const auto kept = emu->readLog(cursor);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].sequence, 4u);
  EXPECT_EQ(kept[1].sequence, 5u);
  EXPECT_EQ(cursor, 6u);
}

}  // namespace

namespace {

TEST(PrinterFront, PrintSpeedHoldsTheJobEndBack) {
  const int n = 106;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  emu->state().withModel([](printer_emulator::PrinterModel& m) { m.setPrintSpeed(2000); });
  const int data = io_test::connectDataPort(io_test::address(n));
  ASSERT_GE(data, 0);
  ASSERT_TRUE(emu->waitForClient(5s));
  std::string body(1000, 'x');
  body.push_back('\n');
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(sendAll(data, job("0007", body)));
  EXPECT_EQ(readBytes(data, 4), (Bytes{0x10, 0, 0, 0}));  // the header's ASB at once
  // 1001 bytes at 2000 a second: the job end no sooner than half a second on.
  EXPECT_EQ(readBytes(data, 7), jobEnd("0007"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 450ms);
  ::close(data);
}

}  // namespace

namespace {

using printer_emulator::HybridStatus;
using printer_emulator::MicrResult;
using printer_emulator::Profile;
using printer_emulator::SheetPath;

// The slip insertion the print engine writes, prologue first (t = 500 ms).
const Bytes kSlipInsertion{0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C, 0x28,
                           0x65, 0x02, 0x00, 0x33, 0xFF, 0x1B, 0x66, 0x00, 0x05, 0x1D,
                           0x28, 0x47, 0x02, 0x00, 0x30, 0x04, 0x1D, 0x28, 0x47, 0x02,
                           0x00, 0x54, 0x01, 0x1B, 0x63, 0x31, 0x04};

Bytes statusBytes(const std::string& ip) {
  const auto r = exchange(ip, 'Q', 0x03000010, kWaitMs);
  if (r.size() != 1 || r[0].size() != 27) return {};
  return Bytes(r[0].begin() + 15, r[0].begin() + 19);
}

TEST(PrinterFront, HybridInsertionIsAnsweredAfterTheTrigger) {
  const int n = 410;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  emu->state().setProfile(Profile::Hybrid);
  const int data = io_test::connectDataPort(io_test::address(n));
  ASSERT_GE(data, 0);
  ASSERT_TRUE(emu->waitForClient(5s));

  ASSERT_TRUE(sendAll(data, kSlipInsertion));
  EXPECT_EQ(readBytes(data, 8), (Bytes{0x10, 0, 0, 0x0A, 0x10, 0, 0x02, 0x0A}));
  ASSERT_TRUE(emu->waitForInsertionWait(std::chrono::milliseconds(kWaitMs)));
  EXPECT_EQ(statusBytes(io_test::address(n)), (Bytes{0x10, 0, 0x02, 0x0A}));
  // Nothing more comes until somebody inserts the sheet.
  EXPECT_TRUE(readBytes(data, 1, 300).empty());
  EXPECT_TRUE(emu->insertSheet(SheetPath::Slip));
  EXPECT_EQ(readBytes(data, 4), (Bytes{0x10, 0, 0, 0x08}));
  EXPECT_EQ(statusBytes(io_test::address(n)), (Bytes{0x10, 0, 0, 0x08}));

  // Eject, then the sheet is taken.
  ASSERT_TRUE(sendAll(data, {0x1B, 0x3D, 0x01, 0x0C}));
  EXPECT_EQ(readBytes(data, 4), (Bytes{0x10, 0, 0x08, 0x08}));
  EXPECT_TRUE(emu->removeSheet());
  EXPECT_EQ(readBytes(data, 4), (Bytes{0x10, 0, 0, 0x0A}));

  // A MICR read: the check goes in and the text follows at the trigger.
  Bytes read{0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C, 0x28, 0x65, 0x02, 0x00,
             0x33, 0xFF, 0x1B, 0x63, 0x31, 0x04, 0x1B, 0x66, 0x00, 0x05, 0x1C, 0x28, 0x66,
             0x06, 0x00, 0x01, 0x01, 0x03, 0x01, 0x04, 0x01, 0x1C, 0x61, 0x30, 0x01};
  ASSERT_TRUE(sendAll(data, read));
  EXPECT_EQ(readBytes(data, 8), (Bytes{0x10, 0, 0, 0x0A, 0x10, 0, 0x02, 0x0A}));
  ASSERT_TRUE(emu->waitForHybrid([](const HybridStatus& h) { return h.micrRead; },
                                 std::chrono::milliseconds(kWaitMs)));
  EXPECT_TRUE(emu->answerMicr(MicrResult{"10", true, 0}));
  EXPECT_EQ(readBytes(data, 12),
            (Bytes{0x10, 0, 0, 0x08, '7', '*', 0x04, 0x40, 0x1F, 0x4D, 0x4E, 0}));
  ::close(data);
}

TEST(PrinterFront, DisplayBytesGoToTheDisplayChannel) {
  const int n = 411;
  printer_emulator::Options o;
  auto emu = startWith(n, o);
  ASSERT_TRUE(emu);
  const int data = io_test::connectDataPort(io_test::address(n));
  ASSERT_GE(data, 0);
  ASSERT_TRUE(emu->waitForClient(5s));
  const Bytes body{0x1B, 0x40, 0x0C, 'T', 'o', 't', 'a', 'l'};
  Bytes job{0x1B, 0x3D, 0x02};
  job.insert(job.end(), body.begin(), body.end());
  const Bytes tail{0x1B, 0x3D, 0x01, 0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30, '1', '0', '0', '0'};
  job.insert(job.end(), tail.begin(), tail.end());
  ASSERT_TRUE(sendAll(data, job));
  EXPECT_EQ(readBytes(data, 7), jobEnd("1000"));

  uint64_t cursor = 0;
  Bytes shown;
  for (const auto& e : readLogEntries(*emu, cursor, 4)) {
    if (e.channel == LogChannel::TcpDisplay)
      shown.insert(shown.end(), e.bytes.begin(), e.bytes.end());
  }
  EXPECT_EQ(shown, body);
  bool line = false;
  for (const auto& e : emu->takeTranscript()) {
    line = line || printer_emulator::formatEvent(e) == "display: \\x1B@\\x0CTotal";
  }
  EXPECT_TRUE(line);
  ::close(data);
}

TEST(PrinterFront, NoDisplaySwitchShowsInBothQueries) {
  const int n = 412;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  const int data = io_test::connectDataPort(io_test::address(n));
  ASSERT_GE(data, 0);
  ASSERT_TRUE(emu->waitForClient(5s));
  for (bool present : {true, false, true}) {
    SCOPED_TRACE(present);
    emu->setDisplayPresent(present);
    const auto r = exchange(io_test::address(n), 'Q', 0x03000021, kWaitMs);
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(r[0].size(), 27u);
    EXPECT_EQ(r[0][14] & 0x02, present ? 0 : 0x02);  // byte 0 of the 13-byte payload
    ASSERT_TRUE(sendAll(data, {0x10, 0x04, 0x12, 0x02}));
    EXPECT_EQ(readBytes(data, 1), (Bytes{static_cast<uint8_t>(present ? 0x12 : 0x16)}));
  }
  ::close(data);
}

}  // namespace
