#include "printer_emulator.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <future>

#include "emulator_loop.h"

namespace printer_emulator {

std::optional<uint32_t> parseIpv4(const std::string& text) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
  return a.s_addr;
}

PrinterEmulator::PrinterEmulator(Options options) : options_(std::move(options)) {}

PrinterEmulator::~PrinterEmulator() { stop(); }

uint32_t PrinterEmulator::address() const { return parseIpv4(options_.address).value_or(0); }

bool PrinterEmulator::start(std::string* error) {
  if (loop_) {
    if (error) *error = "already started";
    return false;
  }
  const auto ip = parseIpv4(options_.address);
  // 127.0.0.0/8 only: the emulator must never face a real network.
  if (!ip || (ntohl(*ip) >> 24) != 127) {
    if (error) *error = "not a loopback IPv4 address: " + options_.address;
    return false;
  }
  auto loop = std::make_unique<Loop>(*this);
  if (!loop->open(error)) return false;
  loop_ = std::move(loop);
  {
    std::lock_guard lock(mutex_);
    wakeFd_ = loop_->wakeFd;
    poweredOff_ = false;
  }
  // Output that a control call makes (an ASB change) goes out at once.
  state_.setOutputListener([this] {
    std::lock_guard lock(mutex_);
    if (wakeFd_ < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
  });
  thread_ = std::thread([this] { loop_->run(); });
  return true;
}

void PrinterEmulator::stop() {
  if (!loop_) return;
  loop_->stopping = true;
  loop_->wake();
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard lock(mutex_);
    wakeFd_ = -1;
  }
  loop_.reset();
  std::lock_guard lock(mutex_);
  clientConnected_ = false;
  tasks_.clear();
  changed_.notify_all();
}

void PrinterEmulator::setReportedClient(std::optional<uint32_t> networkOrder) {
  std::lock_guard lock(mutex_);
  reportedClient_ = networkOrder;
}

void PrinterEmulator::setUdpRule(char type, uint32_t command, UdpRule rule) {
  std::lock_guard lock(mutex_);
  rules_[{type, command}] = std::move(rule);
}

void PrinterEmulator::clearUdpRules() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

void PrinterEmulator::setTcpMode(TcpMode mode) {
  std::lock_guard lock(mutex_);
  tcpMode_ = mode;
}

TcpMode PrinterEmulator::tcpMode() const {
  std::lock_guard lock(mutex_);
  return tcpMode_;
}

bool PrinterEmulator::clientConnected() const {
  std::lock_guard lock(mutex_);
  return clientConnected_;
}

int PrinterEmulator::clientsAccepted() const {
  std::lock_guard lock(mutex_);
  return clientsAccepted_;
}

bool PrinterEmulator::waitForClient(std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [this] { return clientConnected_; });
}

bool PrinterEmulator::waitForNoClient(std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [this] { return !clientConnected_; });
}

bool PrinterEmulator::runOnLoop(std::function<void()> fn) {
  if (!loop_) return false;
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back([fn = std::move(fn), done] {
      fn();
      done->set_value();
    });
  }
  loop_->wake();
  return finished.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

bool PrinterEmulator::sendToClient(std::vector<std::vector<uint8_t>> chunks,
                                   std::chrono::milliseconds gap) {
  bool ok = false;
  const bool ran = runOnLoop([&] {
    ok = loop_->clientFd >= 0;
    for (size_t i = 0; ok && i < chunks.size(); ++i) {
      if (i > 0 && gap.count() > 0) std::this_thread::sleep_for(gap);
      ok = loop_->sendChunk(chunks[i]);
    }
  });
  return ran && ok;
}

void PrinterEmulator::sendToClientAfter(std::vector<uint8_t> bytes,
                                        std::chrono::milliseconds delay) {
  const auto due = std::chrono::steady_clock::now() + delay;
  runOnLoop([this, due, &bytes] { loop_->pendingData.push_back({due, std::move(bytes)}); });
}

std::vector<std::chrono::steady_clock::time_point> PrinterEmulator::sentAt() const {
  std::lock_guard lock(mutex_);
  return sentAt_;
}

bool PrinterEmulator::waitForSends(size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return sentAt_.size() >= count; });
}

void PrinterEmulator::closeClient() {
  runOnLoop([this] { loop_->closeClient(false); });
}

void PrinterEmulator::resetClient() {
  runOnLoop([this] { loop_->closeClient(true); });
}

bool PrinterEmulator::powerOff() {
  return runOnLoop([this] { loop_->switchOff(); });
}

bool PrinterEmulator::powerOn(std::string* error) {
  bool on = false;
  std::string why = "not running";
  const bool ran = runOnLoop([&] { on = loop_->switchOn(&why); });
  if (!(ran && on) && error) *error = why;
  return ran && on;
}

bool PrinterEmulator::poweredOff() const {
  std::lock_guard lock(mutex_);
  return poweredOff_;
}

void PrinterEmulator::linkEvent(std::string label) {
  ModelEvent e(ModelEvent::Kind::Link, Route::Printer, std::move(label));
  e.when = std::chrono::system_clock::now();
  std::lock_guard lock(mutex_);
  transcript_.push_back(std::move(e));
  while (transcript_.size() > std::max<size_t>(options_.transcriptLimit, 1)) {
    transcript_.pop_front();
  }
}

void PrinterEmulator::setReplyDelay(ReplyClass replyClass, std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  replyDelays_[replyClass] = delay;
}

void PrinterEmulator::setReplyShape(ReplyShape shape) {
  std::lock_guard lock(mutex_);
  replyShape_ = shape;
}

void PrinterEmulator::scheduleDisconnect(Disconnect disconnect) {
  {
    std::lock_guard lock(mutex_);
    disconnect_ = disconnect;
  }
  runOnLoop([this] { loop_->checkDisconnect(); });
}

void PrinterEmulator::record(Arrival arrival) {
  std::lock_guard lock(mutex_);
  if (arrival.channel == Channel::Udp && arrival.bytes.size() >= 14) {
    char name[32];
    std::snprintf(name, sizeof name, "UDP %c %02X%02X%02X%02X", arrival.bytes[5], arrival.bytes[6],
                  arrival.bytes[7], arrival.bytes[8], arrival.bytes[9]);
    ++udpCounts_[name];
  }
  if (options_.keepArrivals) arrivals_.push_back(std::move(arrival));
  changed_.notify_all();
}

void PrinterEmulator::log(LogChannel channel, bool fromPrinter, std::span<const uint8_t> bytes,
                          std::chrono::steady_clock::time_point when) {
  if (bytes.empty()) return;
  std::lock_guard lock(mutex_);
  log_.push_back({logNext_++, when, channel, fromPrinter, {bytes.begin(), bytes.end()}});
  while (log_.size() > std::max<size_t>(options_.logLimit, 1)) {
    log_.pop_front();
    ++logDropped_;
  }
}

void PrinterEmulator::collectModel() {
  {
    // Whoever waits for the model's state looks again.
    std::lock_guard lock(mutex_);
    changed_.notify_all();
  }
  const auto now = std::chrono::steady_clock::now();
  for (const auto& r : state_.takeRouted()) {
    log(r.route == Route::Display ? LogChannel::TcpDisplay : LogChannel::TcpPrinter, false, r.bytes,
        now);
  }
  auto events = state_.takeEvents();
  if (events.empty()) return;
  const auto taken = std::chrono::system_clock::now();
  std::lock_guard lock(mutex_);
  for (auto& e : events) {
    if (e.when == std::chrono::system_clock::time_point{}) e.when = taken;
    transcript_.push_back(std::move(e));
  }
  while (transcript_.size() > std::max<size_t>(options_.transcriptLimit, 1)) {
    transcript_.pop_front();
  }
}

std::vector<LogEntry> PrinterEmulator::readLog(uint64_t& cursor) const {
  std::lock_guard lock(mutex_);
  std::vector<LogEntry> out;
  const uint64_t first = log_.empty() ? logNext_ : log_.front().sequence;
  for (uint64_t i = std::max(cursor, first) - first; i < log_.size(); ++i) out.push_back(log_[i]);
  cursor = logNext_;
  return out;
}

uint64_t PrinterEmulator::logDropped() const {
  std::lock_guard lock(mutex_);
  return logDropped_;
}

std::map<std::string, uint64_t> PrinterEmulator::commandCounts() const {
  auto counts = state_.commandCounts();
  std::lock_guard lock(mutex_);
  for (const auto& [name, count] : udpCounts_) counts[name] += count;
  return counts;
}

std::vector<ModelEvent> PrinterEmulator::takeTranscript() {
  std::lock_guard lock(mutex_);
  std::vector<ModelEvent> out(std::make_move_iterator(transcript_.begin()),
                              std::make_move_iterator(transcript_.end()));
  transcript_.clear();
  return out;
}

bool PrinterEmulator::insertSheet(SheetPath path) {
  bool taken = false;
  state_.withModel([&](PrinterModel& m) { taken = m.insertSheet(path); });
  return taken;
}

bool PrinterEmulator::removeSheet() {
  bool taken = false;
  state_.withModel([&](PrinterModel& m) { taken = m.removeSheet(); });
  return taken;
}

bool PrinterEmulator::answerMicr(const MicrResult& result) {
  bool taken = false;
  state_.withModel([&](PrinterModel& m) { taken = m.answerMicr(result); });
  return taken;
}

void PrinterEmulator::pullOut() {
  state_.withModel([](PrinterModel& m) { m.pullOut(); });
}

bool PrinterEmulator::cleaningSheetPassed() {
  bool taken = false;
  state_.withModel([&](PrinterModel& m) { taken = m.cleaningSheetPassed(); });
  return taken;
}

void PrinterEmulator::setDisplayPresent(bool present) {
  state_.withModel([&](PrinterModel& m) { m.setDisplayConnected(present); });
}

bool PrinterEmulator::waitForHybrid(const std::function<bool(const HybridStatus&)>& test,
                                    std::chrono::milliseconds limit) const {
  // The state's lock is taken inside the emulator's: nothing takes them the other way round.
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return test(state_.hybrid()); });
}

void PrinterEmulator::setJobEndsWithheld(bool withheld) {
  state_.withModel([withheld](PrinterModel& m) { m.setJobEndsWithheld(withheld); });
}

bool PrinterEmulator::waitForWithheldJobEnds(size_t count, std::chrono::milliseconds limit) const {
  // The state's lock is taken inside the emulator's, as in waitForHybrid.
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return state_.jobEndsWithheld() >= count; });
}

bool PrinterEmulator::waitForInsertionWait(std::chrono::milliseconds limit) const {
  return waitForHybrid([](const HybridStatus& h) { return h.wait != HybridStatus::Wait::None; },
                       limit);
}

std::vector<Arrival> PrinterEmulator::arrivals() const {
  std::lock_guard lock(mutex_);
  return arrivals_;
}

std::vector<uint8_t> PrinterEmulator::tcpBytes() const {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> out;
  for (const auto& a : arrivals_) {
    if (a.channel == Channel::Tcp) out.insert(out.end(), a.bytes.begin(), a.bytes.end());
  }
  return out;
}

namespace {

bool isRequest(const Arrival& a, char type, uint32_t command) {
  if (a.channel != Channel::Udp || a.bytes.size() < 14) return false;
  const uint32_t c = (uint32_t{a.bytes[6]} << 24) | (uint32_t{a.bytes[7]} << 16) |
                     (uint32_t{a.bytes[8]} << 8) | a.bytes[9];
  return a.bytes[5] == static_cast<uint8_t>(type) && c == command;
}

}  // namespace

std::vector<Arrival> PrinterEmulator::udpRequests(char type, uint32_t command) const {
  std::lock_guard lock(mutex_);
  std::vector<Arrival> out;
  for (const auto& a : arrivals_) {
    if (isRequest(a, type, command)) out.push_back(a);
  }
  return out;
}

bool PrinterEmulator::waitForTcpBytes(size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    size_t n = 0;
    for (const auto& a : arrivals_) {
      if (a.channel == Channel::Tcp) n += a.bytes.size();
    }
    return n >= count;
  });
}

bool PrinterEmulator::waitForUdpRequests(char type, uint32_t command, size_t count,
                                         std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    size_t n = 0;
    for (const auto& a : arrivals_) n += isRequest(a, type, command) ? 1 : 0;
    return n >= count;
  });
}

void PrinterEmulator::clearLog() {
  std::lock_guard lock(mutex_);
  arrivals_.clear();
  log_.clear();  // sequence numbers go on, so a reader's cursor stays valid
}

}  // namespace printer_emulator
