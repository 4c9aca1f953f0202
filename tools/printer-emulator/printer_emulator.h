#pragma once
// One network printer on a loopback address: UDP control port 3289 and TCP
// data port 9100 in front of a transport-free PrinterState, with a control API
// for tests (faults, delays, scripted replies) and a log of what arrived.
//
// Only loopback addresses (127.0.0.0/8) are accepted, so a test can never
// reach the outside network through the emulator.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "printer_state.h"

namespace printer_emulator {

enum class Channel { Udp, Tcp };

// One datagram, or one chunk read from the data port.
struct Arrival {
  std::chrono::steady_clock::time_point
      when;  // when the kernel took it in (of a chunk: its last bytes)
  Channel channel = Channel::Udp;
  uint32_t peerAddress = 0;  // network byte order
  uint16_t peerPort = 0;     // host byte order
  int client = 0;            // data port: serial number of the client (1, 2, ...); UDP: 0
  std::vector<uint8_t> bytes;
};

// One entry of the emulator's log: bytes that came in on one channel, or an
// answer the printer sent there.
enum class LogChannel { TcpPrinter, TcpDisplay, Udp };

struct LogEntry {
  uint64_t sequence = 0;  // 0, 1, 2, ... in the order of the log
  std::chrono::steady_clock::time_point when;
  LogChannel channel = LogChannel::Udp;
  bool fromPrinter = false;  // an answer the printer sent, not bytes it took in
  std::vector<uint8_t> bytes;
};

// How the emulator treats requests of one type and command on the control port.
struct UdpRule {
  bool silent = false;                 // never answer
  int dropFirst = 0;                   // ignore this many requests, then answer
  std::chrono::milliseconds delay{0};  // answer this long after the request came
  std::optional<uint16_t> result;      // result field of the reply
  bool wrongType = false;              // reply with the request's own type
  bool wrongCommand = false;           // reply with another command
  int decoysBefore = 0;  // wrong replies (type, command, short) sent before the right one
  std::optional<std::vector<uint8_t>> payload;  // payload of every reply
  std::deque<std::vector<uint8_t>>
      payloadScript;            // payloads of the next replies, then the normal one
  std::optional<size_t> cutTo;  // the whole reply datagram cut to this many bytes (if longer)
};

// What the data port does with a client it accepts.
enum class TcpMode {
  Normal,         // read everything, send the printer's answers
  Silent,         // read everything, never answer
  Stalled,        // accept but read nothing, so the host's writes back up
  CloseOnAccept,  // accept and close at once
  ResetOnAccept,  // accept and reset at once
};

// How the data port shapes the printer's answers on their way out.
struct ReplyShape {
  bool splitEachByte = false;     // every byte in a send of its own
  bool asbBetweenBlocks = false;  // the current ASB before every answer that is not one
  bool junk = false;              // a byte no answer starts with (FFh) before every answer
};

// A scripted end of the data connection, taken once.
enum class DisconnectPoint {
  AfterBytes,     // once this many bytes came from the client (before or during a job)
  AfterJobEnd,    // once this many job ends went out (after a job)
  AfterRealtime,  // once this many real-time answers went out (between polls)
  // As the next bytes arrive after it was scheduled, before the printer takes
  // any of them (count unused): the printer is gone just as a send begins.
  BeforeNextBytes,
};

struct Disconnect {
  DisconnectPoint point = DisconnectPoint::AfterBytes;
  uint64_t count = 1;
  bool reset = false;  // RST instead of FIN
};

struct Options {
  std::string address = "127.0.0.10";
  uint16_t tcpPort = 9100;
  uint16_t udpPort = 3289;
  // The log keeps this many entries; older ones are dropped (logDropped()).
  size_t logLimit = 100000;
  // Every arrival is also kept for arrivals(), tcpBytes() and the waits on
  // them; a long-running program turns this off and reads the log instead.
  bool keepArrivals = true;
  // The transcript keeps this many lines until takeTranscript() takes them.
  size_t transcriptLimit = 10000;
};

class PrinterEmulator {
 public:
  explicit PrinterEmulator(Options options = {});
  ~PrinterEmulator();
  PrinterEmulator(const PrinterEmulator&) = delete;
  PrinterEmulator& operator=(const PrinterEmulator&) = delete;

  // Binds both ports and starts the network thread; false (with a reason) when
  // the address is not loopback or a port cannot be bound.
  bool start(std::string* error = nullptr);
  void stop();

  const Options& options() const { return options_; }
  uint32_t address() const;  // network byte order
  PrinterState& state() { return state_; }

  // Client address reported by query 03000017h while a data client is
  // connected; nullopt reports the accepted peer's address (the default).
  // With no data client the printer always reports 0.
  void setReportedClient(std::optional<uint32_t> networkOrder);

  void setUdpRule(char type, uint32_t command, UdpRule rule);
  void clearUdpRules();

  // What the printer tells a discovery (queries 'Q' kDiscoveryNameQuery and
  // kDiscoveryMacQuery): its name, its MAC and its DHCP flag. The defaults are
  // "RP-S100", the state's MAC and no DHCP. Faults per query go through
  // setUdpRule: silent, delay, result, cutTo.
  void setName(std::string name) { state_.setName(std::move(name)); }
  void setMac(PrinterState::Mac mac) { state_.setMac(mac); }
  void setDhcp(bool dhcp) { state_.setDhcp(dhcp); }

  // Data port.
  void setTcpMode(TcpMode mode);
  TcpMode tcpMode() const;
  bool clientConnected() const;
  int clientsAccepted() const;
  bool waitForClient(std::chrono::milliseconds limit) const;
  bool waitForNoClient(std::chrono::milliseconds limit) const;
  // Sends the chunks to the connected client from the network thread, with the
  // given gap between them; false when no client is connected or a send fails.
  bool sendToClient(std::vector<std::vector<uint8_t>> chunks,
                    std::chrono::milliseconds gap = std::chrono::milliseconds(0));
  // Sends bytes to the connected client from the network thread once delay
  // has passed, without holding up the caller (a reply the host waits for).
  // The moment each such send was done is kept, in order, in sentAt().
  void sendToClientAfter(std::vector<uint8_t> bytes, std::chrono::milliseconds delay);
  std::vector<std::chrono::steady_clock::time_point> sentAt() const;
  bool waitForSends(size_t count, std::chrono::milliseconds limit) const;
  void closeClient();  // orderly close (FIN)
  void resetClient();  // abortive close (RST)

  // The printer's power switch, as a person uses it. powerOff() closes the
  // data connection (FIN) and stops listening on the data port, so a connect
  // is refused, and leaves every datagram on the control port unanswered
  // until powerOn(). powerOn() listens again and brings the printer back in
  // its power-on state (PrinterModel::powerCycle; the state().setPowerOff
  // fault is cleared too). Both return once done: false when the emulator is
  // not running, or (powerOn, with a reason) when the data port cannot be
  // bound again. Unlike state().setPowerOff, nothing answers while off.
  bool powerOff();
  bool powerOn(std::string* error = nullptr);
  bool poweredOff() const;

  // The printer's answers on the data port.
  void setReplyDelay(ReplyClass replyClass, std::chrono::milliseconds delay);
  void setReplyShape(ReplyShape shape);
  // Ends the current (or next) client's connection at the scripted point;
  // counts start at the client's accept.
  void scheduleDisconnect(Disconnect disconnect);

  // Job ends: while withheld, each job end that comes due is kept back (the
  // printer still answers its queries and status); releasing sends the kept
  // ones in order. waitForWithheldJobEnds waits until count are kept back.
  void setJobEndsWithheld(bool withheld);
  bool waitForWithheldJobEnds(size_t count, std::chrono::milliseconds limit) const;

  // Log of what arrived.
  std::vector<Arrival> arrivals() const;
  std::vector<uint8_t> tcpBytes() const;
  // Datagrams whose header names this type and command, in arrival order.
  std::vector<Arrival> udpRequests(char type, uint32_t command) const;
  bool waitForTcpBytes(size_t count, std::chrono::milliseconds limit) const;
  bool waitForUdpRequests(char type, uint32_t command, size_t count,
                          std::chrono::milliseconds limit) const;
  void clearLog();

  // The log, read incrementally: the entries from cursor on (those still
  // kept), and cursor moves past the last one. Start with cursor 0.
  std::vector<LogEntry> readLog(uint64_t& cursor) const;
  uint64_t logDropped() const;  // entries dropped for the limit
  // How often each command came: the model's counts ("DLE EOT 1", "GS ( H",
  // "text bytes", ...) and the control port's ("UDP Q 03000010").
  std::map<std::string, uint64_t> commandCounts() const;
  // Transcript lines since the last call (oldest dropped beyond the limit),
  // each with the wall-clock time it was taken in; Link lines show the data
  // connections coming and going ("[connected 127.0.0.1:40312]",
  // "[disconnected by the host]", "[reset by the host]", "[closed by the
  // printer]", "[reset by the printer]") and the power switch ("[power off]",
  // "[power on]").
  std::vector<ModelEvent> takeTranscript();

  // Hybrid printer (hybrid profile): what a person does at the printer. The
  // status change and any answer go out to the client at once; each returns
  // false when the printer is in no state to take it (see PrinterModel).
  bool insertSheet(SheetPath path);
  bool removeSheet();
  bool answerMicr(const MicrResult& result);  // text, or an error letter 'A'..'J'
  void pullOut();
  bool cleaningSheetPassed();
  // Customer display behind the printer: present (the default) or absent.
  void setDisplayPresent(bool present);
  // Waits until the hybrid state passes the test (checked after every chunk
  // the printer took in and every control call); false at the limit.
  bool waitForHybrid(const std::function<bool(const HybridStatus&)>& test,
                     std::chrono::milliseconds limit) const;
  // The printer waits for a sheet (or a cleaning sheet): the insertion-wait bit is set.
  bool waitForInsertionWait(std::chrono::milliseconds limit) const;

 private:
  struct Loop;
  friend struct Loop;

  void record(Arrival arrival);
  void log(LogChannel channel, bool fromPrinter, std::span<const uint8_t> bytes,
           std::chrono::steady_clock::time_point when = std::chrono::steady_clock::now());
  void collectModel();                // routed bytes and transcript lines out of the state
  void linkEvent(std::string label);  // a Link line into the transcript
  // Runs fn on the network thread and waits until it ran.
  bool runOnLoop(std::function<void()> fn);

  Options options_;
  PrinterState state_;
  std::unique_ptr<Loop> loop_;
  std::thread thread_;

  mutable std::mutex mutex_;  // guards everything below
  mutable std::condition_variable changed_;
  std::vector<Arrival> arrivals_;
  std::vector<std::chrono::steady_clock::time_point> sentAt_;
  std::optional<uint32_t> reportedClient_;
  std::map<std::pair<char, uint32_t>, UdpRule> rules_;
  TcpMode tcpMode_ = TcpMode::Normal;
  bool clientConnected_ = false;
  bool poweredOff_ = false;
  uint32_t clientPeer_ = 0;
  int clientsAccepted_ = 0;
  std::deque<std::function<void()>> tasks_;
  std::map<ReplyClass, std::chrono::milliseconds> replyDelays_;
  ReplyShape replyShape_;
  std::optional<Disconnect> disconnect_;
  int wakeFd_ = -1;
  std::deque<LogEntry> log_;
  uint64_t logNext_ = 0;
  uint64_t logDropped_ = 0;
  std::map<std::string, uint64_t> udpCounts_;
  std::deque<ModelEvent>
      transcript_;  // the loop's wake-up event while it runs, for the state's output listener
};

// "a.b.c.d" in network byte order, or nullopt.
std::optional<uint32_t> parseIpv4(const std::string& text);

}  // namespace printer_emulator
