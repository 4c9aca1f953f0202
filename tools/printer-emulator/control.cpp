#include "control.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

#include "foundation/poll_wait.h"

namespace printer_emulator {

namespace {

constexpr size_t kLineLimit = 4096;
// A session that reads no answers is dropped rather than holding the port.
constexpr int kSendLimitMs = 5000;

const char kHelp[] =
    "commands: cover open|close, paper end|near|ok, power off|on, offline [on|off], online, "
    "silent [on|off], status, help";

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

std::string ControlCommands::status() const {
  const Faults f = emulator_.state().faults();
  std::string s = emulator_.poweredOff() ? "power=off" : "power=on";
  s += f.coverOpen ? " cover=open" : " cover=closed";
  s += f.paperEnd ? " paper=end" : f.nearEnd ? " paper=near" : " paper=ok";
  s += f.offline ? " offline=yes" : " offline=no";
  s += emulator_.tcpMode() == TcpMode::Silent ? " silent=yes" : " silent=no";
  s += emulator_.clientConnected() ? " client=connected" : " client=none";
  return s;
}

std::string ControlCommands::execute(const std::string& line) {
  const auto w = words(line);
  if (w.empty()) return {};
  // The command as given, for the error lines.
  std::string given = w[0];
  for (size_t i = 1; i < w.size(); ++i) given += " " + w[i];
  std::lock_guard lock(mutex_);
  const std::string& verb = w[0];
  const std::string arg = w.size() > 1 ? w[1] : "";
  const auto bad = [&](const char* takes) {
    return "error: " + verb + " takes " + takes + ": \"" + given + "\"";
  };
  if (w.size() > 2) return "error: too many words: \"" + given + "\"";
  auto& state = emulator_.state();
  if (verb == "cover") {
    if (arg != "open" && arg != "close") return bad("open or close");
    Faults f = state.faults();
    f.coverOpen = arg == "open";
    state.setFaults(f);
    return "ok";
  }
  if (verb == "paper") {
    if (arg != "end" && arg != "near" && arg != "ok") return bad("end, near or ok");
    Faults f = state.faults();
    f.paperEnd = arg == "end";
    f.nearEnd = arg == "near";
    state.setFaults(f);
    return "ok";
  }
  if (verb == "power") {
    if (arg == "off") return emulator_.powerOff() ? "ok" : "error: power off: not running";
    if (arg == "on") {
      std::string why;
      return emulator_.powerOn(&why) ? "ok" : "error: power on: " + why;
    }
    return bad("off or on");
  }
  if (verb == "offline" || verb == "silent") {
    if (!arg.empty() && arg != "on" && arg != "off") return bad("nothing, on or off");
    const bool on = arg != "off";
    if (verb == "offline") {
      state.setOffline(on);
    } else {
      emulator_.setTcpMode(on ? TcpMode::Silent : TcpMode::Normal);
    }
    return "ok";
  }
  if (verb == "online" && arg.empty()) {
    state.setOffline(false);
    return "ok";
  }
  if (verb == "status" && arg.empty()) return status();
  if (verb == "help" && arg.empty()) return kHelp;
  if (verb == "online" || verb == "status" || verb == "help") return bad("nothing");
  return "error: unknown command \"" + given + "\" (try help)";
}

bool ControlPort::start(const std::string& address, uint16_t port, std::string* error) {
  const auto ip = parseIpv4(address);
  // 127.0.0.0/8 only, as the emulator itself.
  if (!ip || (ntohl(*ip) >> 24) != 127) {
    if (error) *error = "not a loopback IPv4 address: " + address;
    return false;
  }
  if (thread_.joinable()) {
    if (error) *error = "already started";
    return false;
  }
  tilo2::core::OwnedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    if (error) *error = errnoText("socket");
    return false;
  }
  const int one = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = *ip;
  at.sin_port = htons(port);
  socklen_t len = sizeof at;
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
      ::listen(fd.Get(), 8) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&at), &len) != 0) {
    if (error) *error = errnoText("control port bind/listen");
    return false;
  }
  tilo2::core::OwnedFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake) {
    if (error) *error = errnoText("eventfd");
    return false;
  }
  listen_ = std::move(fd);
  wake_ = std::move(wake);
  port_ = ntohs(at.sin_port);
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
  return true;
}

void ControlPort::stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(wake_.Get(), &one, sizeof one);
  thread_.join();
  listen_.Reset();
  wake_.Reset();
}

void ControlPort::run() {
  while (!stopping_) {
    pollfd fds[2] = {{wake_.Get(), POLLIN, 0}, {listen_.Get(), POLLIN, 0}};
    if (tilo2::core::PollWaitAny(fds, 2, 1000) < 0) return;
    if (stopping_) return;
    if (!(fds[1].revents & POLLIN)) continue;
    tilo2::core::OwnedFd session(
        ::accept4(listen_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (session) serve(session.Get());
  }
}

bool ControlPort::sendLine(int session, const std::string& text) {
  const std::string line = text + "\n";
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::send(session, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (tilo2::core::PollWait(session, POLLOUT, kSendLimitMs) != 1) return false;
    } else if (!(n < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

void ControlPort::serve(int session) {
  std::string pending;
  const auto answer = [&](const std::string& line) {
    const std::string reply = handler_(line);
    return reply.empty() || sendLine(session, reply);
  };
  while (!stopping_) {
    pollfd fds[2] = {{wake_.Get(), POLLIN, 0}, {session, POLLIN, 0}};
    if (tilo2::core::PollWaitAny(fds, 2, 1000) < 0) return;
    if (stopping_) return;
    if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buffer[1024];
    const ssize_t n = ::recv(session, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n <= 0) {
      // A last line without its newline still counts.
      if (!pending.empty()) answer(pending);
      return;
    }
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!answer(line)) return;
    }
    if (pending.size() > kLineLimit) {
      sendLine(session, "error: line too long");
      return;
    }
  }
}

}  // namespace printer_emulator
