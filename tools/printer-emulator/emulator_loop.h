#pragma once
// The network thread of the emulator: one poll loop over the wake-up event,
// the control port, and the data port (listening socket or the one client).
// One thread for both ports keeps the reported client address in step with
// the data port: a connection waiting to be accepted is taken before a client
// query is answered.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

#include "printer_emulator.h"

namespace printer_emulator {

struct PrinterEmulator::Loop {
  explicit Loop(PrinterEmulator& emulator) : owner(emulator) {}
  ~Loop();

  bool open(std::string* error);
  void run();
  void wake();

  PrinterEmulator& owner;
  int wakeFd = -1;
  int udpFd = -1;
  int listenFd = -1;
  int clientFd = -1;
  sockaddr_in clientAddr{};
  std::atomic<bool> stopping{false};
  bool switchedOff = false;

  struct Pending {
    std::chrono::steady_clock::time_point due;
    sockaddr_in to{};
    std::vector<uint8_t> bytes;
  };
  std::vector<Pending> pending;  // delayed control replies

  struct PendingData {
    std::chrono::steady_clock::time_point due;
    std::vector<uint8_t> bytes;
  };
  std::vector<PendingData> pendingData;  // delayed sends to the data client

  struct PendingReply {
    std::chrono::steady_clock::time_point due;
    ReplyClass replyClass = ReplyClass::Realtime;
    std::vector<uint8_t> bytes;
  };
  std::deque<PendingReply> replies;  // the printer's answers, in order
  std::chrono::steady_clock::time_point lastReplyDue{};
  // Counted since the client's accept, for scripted disconnects.
  uint64_t clientBytes = 0;
  uint64_t jobEndsSent = 0;
  uint64_t realtimeSent = 0;

 private:
  void runTasks();
  void sendDue();
  int pollTimeoutMs() const;
  void handleDatagram();
  void acceptClient(int waitMs);
  void readClient();
  // label: the transcript's line for it; by default who closed and how.
  void dropClient(bool reset, const char* label = nullptr);
  bool listen(std::string* error);
  void deliver(std::vector<Reply> answers);
  void sendReplies();

 public:
  bool sendChunk(std::span<const uint8_t> bytes);
  void closeClient(bool reset) { dropClient(reset); }
  void checkDisconnect();
  // The power switch: off closes the client and the listening socket and
  // leaves datagrams unanswered; on listens again (false, with a reason, when
  // the port cannot be bound).
  void switchOff();
  bool switchOn(std::string* error);
};

}  // namespace printer_emulator
