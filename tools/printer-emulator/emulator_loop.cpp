#include "emulator_loop.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/poll_wait.h"
#include "kdpx_reply.h"

namespace printer_emulator {

namespace {

using Clock = std::chrono::steady_clock;

// A connection the host has just made may not have been accepted yet when its
// client query arrives; a printer would have taken it by then.
constexpr int kAcceptGraceMs = 50;

// When the kernel took the datagram in, on the steady clock: a loop that is
// scheduled late must not shift the times the tests measure between requests.
Clock::time_point arrivalTime(const msghdr& message) {
  const auto now = Clock::now();
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&message), c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    const auto age = std::chrono::system_clock::now().time_since_epoch() -
                     (std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec));
    if (age > Clock::duration::zero())
      return now - std::chrono::duration_cast<Clock::duration>(age);
  }
  return now;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

int bound(int type, const sockaddr_in& at, std::string* error) {
  const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = errnoText("socket");
    return -1;
  }
  // TCP only: a restart must not wait for TIME_WAIT. The control port is left
  // exclusive so two emulators on one address fail loudly instead of sharing.
  if (type == SOCK_STREAM) {
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
      (type == SOCK_STREAM && ::listen(fd, 16) != 0)) {
    if (error) *error = errnoText("bind/listen");
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

PrinterEmulator::Loop::~Loop() {
  closeFd(clientFd);
  closeFd(listenFd);
  closeFd(udpFd);
  closeFd(wakeFd);
}

bool PrinterEmulator::Loop::open(std::string* error) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = owner.address();
  wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd < 0) {
    if (error) *error = errnoText("eventfd");
    return false;
  }
  at.sin_port = htons(owner.options_.udpPort);
  udpFd = bound(SOCK_DGRAM, at, error);
  if (udpFd < 0) return false;
  const int one = 1;
  ::setsockopt(udpFd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  return listen(error);
}

bool PrinterEmulator::Loop::listen(std::string* error) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = owner.address();
  at.sin_port = htons(owner.options_.tcpPort);
  listenFd = bound(SOCK_STREAM, at, error);
  return listenFd >= 0;
}

void PrinterEmulator::Loop::switchOff() {
  if (switchedOff) return;
  dropClient(false);
  closeFd(listenFd);  // connects are refused, as by a machine that is off
  pending.clear();
  pendingData.clear();
  replies.clear();
  switchedOff = true;
  owner.state_.withModel([](PrinterModel& m) { m.setPowerOff(true); });
  owner.collectModel();
  {
    std::lock_guard lock(owner.mutex_);
    owner.poweredOff_ = true;
    owner.changed_.notify_all();
  }
  owner.linkEvent("[power off]");
}

bool PrinterEmulator::Loop::switchOn(std::string* error) {
  if (!switchedOff) return true;
  if (!listen(error)) return false;
  switchedOff = false;
  owner.state_.withModel([](PrinterModel& m) { m.powerCycle(); });
  owner.state_.setPowerOff(false);
  owner.state_.takeRouted();  // what came before is no part of the new session
  owner.collectModel();
  {
    std::lock_guard lock(owner.mutex_);
    owner.poweredOff_ = false;
    owner.changed_.notify_all();
  }
  owner.linkEvent("[power on]");
  return true;
}

void PrinterEmulator::Loop::wake() {
  const uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
}

void PrinterEmulator::Loop::run() {
  while (!stopping) {
    short dataEvents = POLLIN;
    if (clientFd >= 0) {
      std::lock_guard lock(owner.mutex_);
      if (owner.tcpMode_ == TcpMode::Stalled) dataEvents = 0;  // hang-ups are still reported
    }
    // While switched off there is no data socket at all: poll skips a negative one.
    pollfd fds[3] = {{wakeFd, POLLIN, 0},
                     {udpFd, POLLIN, 0},
                     {clientFd >= 0 ? clientFd : listenFd, dataEvents, 0}};
    const int n = tilo2::core::PollWaitAny(fds, 3, pollTimeoutMs());
    if (n < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] auto r = ::read(wakeFd, &count, sizeof count);
    }
    runTasks();
    sendDue();
    deliver(owner.state_.advance(Clock::now()));
    owner.collectModel();
    sendReplies();
    if (fds[1].revents & POLLIN) handleDatagram();
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (clientFd >= 0 && fds[2].fd == clientFd) {
        if (fds[2].events == 0) {
          dropClient(false, "[disconnected by the host]");
        } else {
          readClient();
        }
      } else if (clientFd < 0 && listenFd >= 0) {
        acceptClient(0);
      }
    }
  }
}

void PrinterEmulator::Loop::runTasks() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(owner.mutex_);
      if (owner.tasks_.empty()) return;
      task = std::move(owner.tasks_.front());
      owner.tasks_.pop_front();
    }
    task();
  }
}

int PrinterEmulator::Loop::pollTimeoutMs() const {
  auto next = Clock::time_point::max();
  for (const auto& p : pending) next = std::min(next, p.due);
  for (const auto& p : pendingData) next = std::min(next, p.due);
  if (!replies.empty()) next = std::min(next, replies.front().due);
  if (const auto due = owner.state_.nextDue()) next = std::min(next, *due);
  if (next == Clock::time_point::max()) return 1000;
  const auto wait =
      std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(wait + 1, 0, 1000));
}

void PrinterEmulator::Loop::sendDue() {
  const auto now = Clock::now();
  // Replies queued for the same moment leave in the order they were queued.
  auto due = std::stable_partition(pending.begin(), pending.end(),
                                   [&](const Pending& p) { return p.due <= now; });
  for (auto it = pending.begin(); it != due; ++it) {
    ::sendto(udpFd, it->bytes.data(), it->bytes.size(), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&it->to), sizeof it->to);
    owner.log(LogChannel::Udp, true, it->bytes);
  }
  pending.erase(pending.begin(), due);

  auto dataDue = std::stable_partition(pendingData.begin(), pendingData.end(),
                                       [&](const PendingData& p) { return p.due <= now; });
  std::vector<PendingData> ready(std::make_move_iterator(pendingData.begin()),
                                 std::make_move_iterator(dataDue));
  pendingData.erase(pendingData.begin(), dataDue);
  for (const auto& p : ready) {
    if (!sendChunk(p.bytes)) continue;
    const auto sent = Clock::now();
    std::lock_guard lock(owner.mutex_);
    owner.sentAt_.push_back(sent);
    owner.changed_.notify_all();
  }
}

void PrinterEmulator::Loop::handleDatagram() {
  uint8_t buffer[2048];
  sockaddr_in from{};
  iovec data{buffer, sizeof buffer};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(udpFd, &message, MSG_DONTWAIT);
  if (n < 0) return;
  const auto arrived = arrivalTime(message);
  const std::span<const uint8_t> bytes(buffer, static_cast<size_t>(n));
  owner.record({arrived, Channel::Udp, from.sin_addr.s_addr, ntohs(from.sin_port), 0,
                std::vector<uint8_t>(bytes.begin(), bytes.end())});
  owner.log(LogChannel::Udp, false, bytes, arrived);

  if (switchedOff) return;  // a printer that is off answers nothing
  const auto request = parseKdpx(bytes);
  if (!request) return;
  if (request->type == 'Q' && request->command == kClientAddressQuery && clientFd < 0) {
    acceptClient(kAcceptGraceMs);
  }

  UdpRule rule;
  std::optional<std::vector<uint8_t>> scripted;
  ReplyContext context;
  {
    std::lock_guard lock(owner.mutex_);
    auto it = owner.rules_.find({request->type, request->command});
    if (it != owner.rules_.end()) {
      UdpRule& stored = it->second;
      if (stored.silent) return;
      if (stored.dropFirst > 0) {
        --stored.dropFirst;
        return;
      }
      if (!stored.payloadScript.empty()) {
        scripted = std::move(stored.payloadScript.front());
        stored.payloadScript.pop_front();
      }
      rule = stored;
    }
    context.clientAddress =
        owner.clientConnected_ ? owner.reportedClient_.value_or(owner.clientPeer_) : 0;
    context.ownAddress = owner.address();
  }
  if (owner.state_.powerOff()) context.clientAddress = 0;  // a printer that is off holds no client

  auto reply = answerKdpx(*request, owner.state_, context);
  if (!reply && (scripted || rule.payload)) {
    reply = KdpxDatagram{static_cast<char>(request->type + 0x20), request->command, 0, {}};
  }
  if (!reply) return;
  if (scripted) {
    reply->payload = std::move(*scripted);
  } else if (rule.payload) {
    reply->payload = *rule.payload;
  }
  if (rule.result) reply->result = *rule.result;
  if (rule.wrongType) reply->type = request->type;
  if (rule.wrongCommand) reply->command = request->command ^ 0x01;

  const auto due =
      arrived + rule.delay;  // as late as asked after the request, however late it was read
  for (int i = 0; i < rule.decoysBefore; ++i) {
    KdpxDatagram decoy = *reply;
    std::vector<uint8_t> decoyBytes;
    switch (i % 3) {
      case 0:
        decoy.type = request->type;
        decoyBytes = encodeKdpx(decoy);
        break;
      case 1:
        decoy.command = request->command + 1;
        decoyBytes = encodeKdpx(decoy);
        break;
      default:
        decoyBytes = encodeKdpx(decoy);
        decoyBytes.resize(kKdpxHeaderSize - 1);  // too short to be a reply
        break;
    }
    pending.push_back({due, from, std::move(decoyBytes)});
  }
  auto replyBytes = encodeKdpx(*reply);
  if (rule.cutTo && *rule.cutTo < replyBytes.size()) replyBytes.resize(*rule.cutTo);
  pending.push_back({due, from, std::move(replyBytes)});
  sendDue();
}

void PrinterEmulator::Loop::acceptClient(int waitMs) {
  if (clientFd >= 0 || listenFd < 0) return;
  pollfd p{listenFd, POLLIN, 0};
  if (::poll(&p, 1, waitMs) <= 0) return;
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  const int fd =
      ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  char peerText[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &peer.sin_addr, peerText, sizeof peerText);
  owner.linkEvent("[connected " + std::string(peerText) + ":" +
                  std::to_string(ntohs(peer.sin_port)) + "]");
  TcpMode mode;
  {
    std::lock_guard lock(owner.mutex_);
    mode = owner.tcpMode_;
    ++owner.clientsAccepted_;
  }
  if (mode == TcpMode::CloseOnAccept || mode == TcpMode::ResetOnAccept) {
    if (mode == TcpMode::ResetOnAccept) {
      const linger hard{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(fd);
    owner.linkEvent(mode == TcpMode::ResetOnAccept ? "[reset by the printer]"
                                                   : "[closed by the printer]");
    return;
  }
  // Data too carries the kernel's arrival time, so a late loop does not shift it.
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  // Answers split at each byte must leave as separate segments.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  clientFd = fd;
  clientAddr = peer;
  clientBytes = 0;
  jobEndsSent = 0;
  realtimeSent = 0;
  replies.clear();
  std::lock_guard lock(owner.mutex_);
  owner.clientConnected_ = true;
  owner.clientPeer_ = peer.sin_addr.s_addr;
  owner.changed_.notify_all();
}

void PrinterEmulator::Loop::readClient() {
  uint8_t buffer[4096];
  iovec data{buffer, sizeof buffer};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(clientFd, &message, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) {
    dropClient(false, n == 0 ? "[disconnected by the host]" : "[reset by the host]");
    return;
  }
  const std::span<const uint8_t> bytes(buffer, static_cast<size_t>(n));
  int serial;
  {
    std::lock_guard lock(owner.mutex_);
    serial = owner.clientsAccepted_;
  }
  owner.record({arrivalTime(message), Channel::Tcp, clientAddr.sin_addr.s_addr,
                ntohs(clientAddr.sin_port), serial,
                std::vector<uint8_t>(bytes.begin(), bytes.end())});
  // A disconnect scripted within these bytes cuts the job there: the printer
  // takes what came before the cut and answers nothing more.
  std::optional<Disconnect> cut;
  {
    std::lock_guard lock(owner.mutex_);
    const auto& d = owner.disconnect_;
    if (d && ((d->point == DisconnectPoint::AfterBytes && clientBytes + bytes.size() >= d->count) ||
              d->point == DisconnectPoint::BeforeNextBytes)) {
      cut = d;
      owner.disconnect_.reset();
    }
  }
  if (cut) {
    const uint64_t end = cut->point == DisconnectPoint::BeforeNextBytes ? clientBytes : cut->count;
    const auto taken = static_cast<size_t>(end > clientBytes ? end - clientBytes : 0);
    clientBytes += taken;
    owner.state_.receiveReplies(bytes.first(taken));
    owner.collectModel();
    dropClient(cut->reset);
    return;
  }
  clientBytes += bytes.size();
  deliver(owner.state_.receiveReplies(bytes));
  owner.collectModel();
  sendReplies();
  checkDisconnect();
}

void PrinterEmulator::Loop::deliver(std::vector<Reply> answers) {
  if (answers.empty()) return;
  TcpMode mode;
  ReplyShape shape;
  std::map<ReplyClass, std::chrono::milliseconds> delays;
  {
    std::lock_guard lock(owner.mutex_);
    mode = owner.tcpMode_;
    shape = owner.replyShape_;
    delays = owner.replyDelays_;
  }
  if (clientFd < 0 || mode == TcpMode::Silent) return;
  const auto now = Clock::now();
  for (auto& answer : answers) {
    std::vector<uint8_t> bytes;
    if (shape.junk) bytes.push_back(0xFF);
    if (shape.asbBetweenBlocks && answer.replyClass != ReplyClass::Asb) {
      const auto asb = owner.state_.automaticStatus();
      bytes.insert(bytes.end(), asb.begin(), asb.end());
    }
    bytes.insert(bytes.end(), answer.bytes.begin(), answer.bytes.end());
    const auto delay =
        delays.count(answer.replyClass) ? delays[answer.replyClass] : std::chrono::milliseconds(0);
    // A later answer never overtakes an earlier one, whatever their delays.
    lastReplyDue = std::max(now + delay, lastReplyDue);
    replies.push_back({lastReplyDue, answer.replyClass, std::move(bytes)});
  }
}

void PrinterEmulator::Loop::sendReplies() {
  bool split;
  {
    std::lock_guard lock(owner.mutex_);
    split = owner.replyShape_.splitEachByte;
  }
  while (clientFd >= 0 && !replies.empty() && replies.front().due <= Clock::now()) {
    PendingReply reply = std::move(replies.front());
    replies.pop_front();
    if (split) {
      for (size_t i = 0; i < reply.bytes.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        sendChunk(std::span<const uint8_t>(reply.bytes).subspan(i, 1));
      }
    } else {
      sendChunk(reply.bytes);
    }
    owner.log(LogChannel::TcpPrinter, true, reply.bytes);
    if (reply.replyClass == ReplyClass::JobEnd) ++jobEndsSent;
    if (reply.replyClass == ReplyClass::Realtime) ++realtimeSent;
    checkDisconnect();
  }
}

void PrinterEmulator::Loop::checkDisconnect() {
  if (clientFd < 0) return;
  Disconnect d;
  {
    std::lock_guard lock(owner.mutex_);
    if (!owner.disconnect_) return;
    d = *owner.disconnect_;
    if (d.point == DisconnectPoint::BeforeNextBytes) return;  // readClient takes it
    const uint64_t seen = d.point == DisconnectPoint::AfterBytes    ? clientBytes
                          : d.point == DisconnectPoint::AfterJobEnd ? jobEndsSent
                                                                    : realtimeSent;
    if (seen < d.count) return;
    owner.disconnect_.reset();
  }
  dropClient(d.reset);
}

bool PrinterEmulator::Loop::sendChunk(std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (clientFd >= 0 && done < bytes.size()) {
    const ssize_t n = ::send(clientFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{clientFd, POLLOUT, 0};
      if (::poll(&p, 1, 5000) <= 0) return false;
    } else if (!(n < 0 && errno == EINTR)) {
      return false;
    }
  }
  return done == bytes.size();
}

void PrinterEmulator::Loop::dropClient(bool reset, const char* label) {
  if (clientFd < 0) return;
  owner.linkEvent(label ? label : reset ? "[reset by the printer]" : "[closed by the printer]");
  if (reset) {
    const linger hard{1, 0};
    ::setsockopt(clientFd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  closeFd(clientFd);
  std::lock_guard lock(owner.mutex_);
  owner.clientConnected_ = false;
  owner.changed_.notify_all();
}

}  // namespace printer_emulator
