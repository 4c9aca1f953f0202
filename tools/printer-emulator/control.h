#pragma once
// The switches a person flips while an app is connected, as text commands
// (one a line, one answer a line): the program reads them on stdin and on a
// control socket. See README.md for a session.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/owned_fd.h"
#include "printer_emulator.h"

namespace printer_emulator {

// Runs the commands against one emulator:
//   cover open|close          paper end|near|ok          power off|on
//   offline [on|off], online  silent [on|off]            status, help
// The same switches as the command line's --cover-open, --paper-end,
// --near-end, --offline and --silent; power is PrinterEmulator::powerOff/On.
class ControlCommands {
 public:
  explicit ControlCommands(PrinterEmulator& emulator) : emulator_(emulator) {}

  // One command line (surrounding blanks and a CR are ignored) and its
  // answer without a newline: "ok", the status line, the help line, or
  // "error: ..." naming the command it could not run. A blank line gives "".
  // Safe to call from several threads: commands run one at a time.
  std::string execute(const std::string& line);

  // "power=on cover=closed paper=ok offline=no silent=no client=none".
  std::string status() const;

 private:
  PrinterEmulator& emulator_;
  std::mutex mutex_;
};

// A TCP control socket on a loopback address: sessions are served one after
// the other (the next waits in the backlog), each line read is handed to the
// handler and its answer sent back with a newline. A blank answer sends
// nothing. Lines longer than 4 KiB end the session with an error line.
class ControlPort {
 public:
  using Handler = std::function<std::string(const std::string& line)>;

  explicit ControlPort(Handler handler) : handler_(std::move(handler)) {}
  ~ControlPort() { stop(); }
  ControlPort(const ControlPort&) = delete;
  ControlPort& operator=(const ControlPort&) = delete;

  // Listens on address:port (127.0.0.0/8 only; port 0 picks a free one) and
  // starts serving; false with a reason otherwise.
  bool start(const std::string& address, uint16_t port, std::string* error = nullptr);
  // Ends the session in progress and stops listening.
  void stop();
  uint16_t port() const { return port_; }

 private:
  void run();
  void serve(int session);
  bool sendLine(int session, const std::string& text);

  Handler handler_;
  tilo2::core::OwnedFd listen_;
  tilo2::core::OwnedFd wake_;  // eventfd: stop() wakes the thread
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  uint16_t port_ = 0;
};

}  // namespace printer_emulator
