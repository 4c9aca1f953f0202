#include "printer_model.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "transcript.h"

namespace printer_emulator {

namespace {

constexpr uint8_t kFf = 0x0C, kDle = 0x10, kEsc = 0x1B, kFs = 0x1C, kGs = 0x1D;

bool startsCommand(uint8_t b) { return b == 0 || b == kDle || b == kEsc || b == kFs || b == kGs; }

std::string printable(uint8_t c) {
  if (c > 0x20 && c < 0x7F) return std::string(1, static_cast<char>(c));
  char part[4];
  std::snprintf(part, sizeof part, "%02X", c);
  return part;
}

const char* barcodeName(uint8_t m) {
  static const char* const kNames[] = {"UPC-A", "UPC-E",   "EAN13",  "EAN8",   "CODE39",
                                       "ITF",   "CODABAR", "CODE93", "CODE128"};
  if (m <= 6) return kNames[m];
  if (m >= 65 && m <= 73) return kNames[m - 65];
  return "?";
}

// Two-dimensional symbols by the cn byte of their GS ( k commands.
const char* symbolName(uint8_t cn) {
  switch (cn) {
    case 0x30:
      return "PDF417";
    case 0x31:
      return "QR";
    case 0x32:
      return "MaxiCode";
    case 0x33:
      return "GS1 DataBar";
    case 0x34:
      return "Composite";
    case 0x35:
      return "Aztec";
    case 0x36:
      return "DataMatrix";
    default:
      return "symbol";
  }
}

// Symbol data for a person: printable ASCII as it is, other bytes as \xNN, a
// long text cut with its length behind.
std::string quoted(std::span<const uint8_t> data) {
  constexpr size_t kShown = 60;
  std::string out = "\"";
  for (size_t i = 0; i < data.size() && i < kShown; ++i) {
    const uint8_t c = data[i];
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char part[8];
      std::snprintf(part, sizeof part, "\\x%02X", c);
      out += part;
    }
  }
  if (data.size() > kShown) return out + "...\" " + std::to_string(data.size()) + " bytes";
  return out + "\"";
}

// 16-bit little-endian value at i.
size_t le16(std::span<const uint8_t> b, size_t i) { return b[i] | (size_t{b[i + 1]} << 8); }

// One byte commands of each escape family that take n parameter bytes.
size_t escParams(uint8_t c) {
  switch (c) {
    case ' ':
    case '!':
    case '%':
    case '-':
    case '3':
    case '=':
    case '?':
    case 'E':
    case 'G':
    case 'J':
    case 'M':
    case 'R':
    case 'T':
    case 'U':
    case 'V':
    case 'a':
    case 'd':
    case 't':
    case '{':
    case 'r':
    case 'e':
    case 'K':
    case 'u':
    case 'v':
      return 1;
    case '$':
    case '\\':
    case 'c':
    case 'f':
      return 2;
    case 'p':
      return 3;
    case 'W':
      return 8;
    default:
      return 0;
  }
}

size_t gsParams(uint8_t c) {
  switch (c) {
    case '!':
    case '/':
    case 'B':
    case 'H':
    case 'I':
    case 'a':
    case 'b':
    case 'f':
    case 'h':
    case 'r':
    case 'w':
    case 'E':
    case 'T':
      return 1;
    case '$':
    case 'L':
    case 'P':
    case 'W':
    case '\\':
      return 2;
    case '^':
      return 3;
    default:
      return 0;
  }
}

size_t fsParams(uint8_t c) {
  switch (c) {
    case '!':
    case '-':
    case 'C':
    case 'W':
      return 1;
    case 'p':
    case 'S':
    case 'a':
      return 2;
    default:
      return 0;
  }
}

// MICR replies: "7" "*" status, then 40h 1Fh text or an error letter and a
// nonzero byte, NUL-ended.
constexpr uint8_t kMicrPlain = 0x40, kMicrInverted = 0x04, kMicrFailed = 0x20;

std::vector<uint8_t> micrError(char letter) {
  return {'7', '*', kMicrFailed, static_cast<uint8_t>(letter), 0x40, 0};
}

bool insertionWait(HybridStatus::Wait w) {
  using W = HybridStatus::Wait;
  return w == W::Slip || w == W::Validation || w == W::Micr || w == W::MicrRead;
}

}  // namespace

std::optional<Profile> profileFromName(const std::string& name) {
  for (Profile p : {Profile::Receipt, Profile::Line, Profile::Impact, Profile::Battery,
                    Profile::Interrupt, Profile::Hybrid}) {
    if (name == profileName(p)) return p;
  }
  return std::nullopt;
}

const char* profileName(Profile profile) {
  switch (profile) {
    case Profile::Line:
      return "line";
    case Profile::Impact:
      return "impact";
    case Profile::Battery:
      return "battery";
    case Profile::Interrupt:
      return "interrupt";
    case Profile::Hybrid:
      return "hybrid";
    default:
      return "receipt";
  }
}

PrinterModel::PrinterModel(Profile profile) : profile_(profile) {}

uint8_t PrinterModel::modelId() const {
  switch (profile_) {
    case Profile::Line:
      return 0x0D;
    case Profile::Impact:
      return 0x05;
    case Profile::Battery:
      return 0x25;
    case Profile::Interrupt:
      return 0x21;
    case Profile::Hybrid:
      return 0x2A;
    default:
      return 0x20;
  }
}

std::string PrinterModel::modelName() const {
  switch (profile_) {
    case Profile::Line:
      return "LX-58";
    case Profile::Impact:
      return "DX-76";
    case Profile::Battery:
      return "MX-30B";
    case Profile::Interrupt:
      return "RX-80i";
    case Profile::Hybrid:
      return "HX-90S";
    default:
      return "RX-80";
  }
}

std::array<uint8_t, 4> PrinterModel::asb() const {
  if (asbOverride_) return *asbOverride_;
  const Faults& f = faults_;
  const bool error =
      f.autoRecoverable || f.mechanicalError || f.autocutterError || f.unrecoverableError;
  const bool offline =
      f.offline || f.offlineReason || f.coverOpen || f.paperEnd || f.feed || f.panelSwitch || error;
  std::array<uint8_t, 4> b{0x10, 0, 0, 0};
  if (f.drawerHigh || (profile_ == Profile::Battery && f.batteryEmpty)) b[0] |= 0x04;
  if (offline) b[0] |= 0x08;
  if (f.coverOpen) b[0] |= 0x20;
  if (f.feed) b[0] |= 0x40;
  if (f.offlineReason) b[1] |= 0x01;
  if (f.panelSwitch) b[1] |= 0x02;
  if (f.mechanicalError) b[1] |= 0x04;
  if (f.autocutterError) b[1] |= 0x08;
  if (f.unrecoverableError) b[1] |= 0x20;
  if (f.autoRecoverable) b[1] |= 0x40;
  if (f.nearEnd) b[2] |= 0x01;
  if (f.paperEnd) b[2] |= 0x04;
  if (profile_ == Profile::Hybrid) {
    const HybridStatus& h = hybrid_;
    if (h.wait != HybridStatus::Wait::None) b[2] |= 0x02;
    if (h.removalWaiting) b[2] |= 0x08;
    b[2] |= static_cast<uint8_t>((slipSensors_ & 0x03) << 5);
    if (h.cueingError) b[3] |= 0x01;
    if (!h.slipSheet) b[3] |= 0x02;
    if (!h.validationSheet) b[3] |= 0x08;
  }
  return b;
}

uint8_t PrinterModel::realtimeStatus(int n) const {
  const Faults& f = faults_;
  const auto status = asb();
  uint8_t r = 0x12;
  switch (n) {
    case 1:
      if (status[0] & 0x04) r |= 0x04;
      if (status[0] & 0x08) r |= 0x08;
      if (f.offlineReason) r |= 0x20;
      if (f.panelSwitch) r |= 0x40;
      break;
    case 2:
      if (f.coverOpen) r |= 0x04;
      if (f.feed) r |= 0x08;
      if (f.paperEnd) r |= 0x20;
      if (status[1] & 0x6C) r |= 0x40;  // an error of any kind
      break;
    case 3:
      r |= status[1] & 0x6C;  // mechanical, autocutter, unrecoverable, auto-recoverable
      break;
    case 4:
      if (f.nearEnd) r |= 0x0C;
      if (f.paperEnd) r |= 0x60;
      break;
    default:
      break;
  }
  return r;
}

void PrinterModel::setAsbOverride(std::optional<std::array<uint8_t, 4>> bytes) {
  asbOverride_ = bytes;
  asbMaybeChanged();
}

void PrinterModel::setFaults(const Faults& faults) {
  faults_ = faults;
  asbMaybeChanged();
}

void PrinterModel::asbMaybeChanged() {
  if (!asbEnabled_ || powerOff_) return;
  const auto now = asb();
  if (asbSent_ && *asbSent_ == now) return;
  asbSent_ = now;
  send({now.begin(), now.end()}, "[ASB]");
}

void PrinterModel::setPrintSpeed(uint32_t bytesPerSecond) { speed_ = bytesPerSecond; }

void PrinterModel::setHoldPrinting(bool hold) { hold_ = hold; }

void PrinterModel::setJobEndsWithheld(bool withheld) {
  withholdJobEnds_ = withheld;
  if (withheld) return;
  while (!withheld_.empty()) {
    send(std::move(withheld_.front()), "[job end]");
    withheld_.pop_front();
  }
}

void PrinterModel::sendJobEnd(std::vector<uint8_t> reply) {
  if (withholdJobEnds_) {
    withheld_.push_back(std::move(reply));
    return;
  }
  send(std::move(reply), "[job end]");
}

void PrinterModel::setPowerOff(bool off) {
  powerOff_ = off;
  if (off) {
    // A printer that powers off forgets everything, switched-on ASB included.
    pending_.clear();
    held_.clear();
    deferredJobEnd_.reset();
    line_.clear();
    lineRuns_.clear();
    asbEnabled_ = false;
    asbSent_.reset();
    route_ = Route::Printer;
    displayBytes_.clear();
    // Whatever the printer waited for is over; the sheets stay where they are.
    hybrid_.wait = HybridStatus::Wait::None;
    hybrid_.micrRead = false;
    hybrid_.cueingError = false;
    waitEnds_.reset();
    selected_.reset();
    waitMs_.reset();
    waitTimeJustSet_ = false;
  }
}

void PrinterModel::sendAsbNow() {
  if (!asbEnabled_ || powerOff_) return;
  const auto now = asb();
  asbSent_ = now;
  send({now.begin(), now.end()}, "[ASB]");
}

void PrinterModel::setSheetInserted(SheetPath path, bool inserted) {
  (path == SheetPath::Slip ? hybrid_.slipSheet : hybrid_.validationSheet) = inserted;
  asbMaybeChanged();
}

void PrinterModel::setRemovalWaiting(bool waiting) {
  hybrid_.removalWaiting = waiting;
  asbMaybeChanged();
}

void PrinterModel::setSlipSensors(uint8_t bits) {
  slipSensors_ = bits & 0x03;
  asbMaybeChanged();
}

HybridStatus PrinterModel::hybrid() const { return hybrid_; }

void PrinterModel::startWait(HybridStatus::Wait wait, Clock::time_point now) {
  hybrid_.wait = wait;
  waitEnds_.reset();
  if (insertionAutoEnd_ && insertionWait(wait)) {
    waitEnds_ = now + std::chrono::milliseconds(waitMs_.value_or(0));
  }
  asbMaybeChanged();
  if (wait == HybridStatus::Wait::MicrRead && micrAuto_) {
    answerMicr(*micrAuto_);
  } else if (autoInsert_ && insertionWait(wait) && wait != HybridStatus::Wait::MicrRead) {
    insertSheet(wait == HybridStatus::Wait::Validation ? SheetPath::Validation : SheetPath::Slip);
  }
}

void PrinterModel::hybridTick(Clock::time_point now) {
  if (!waitEnds_ || now < *waitEnds_) return;
  waitEnds_.reset();
  if (!insertionWait(hybrid_.wait)) return;
  // Nobody inserted a sheet in time: the printer gives up waiting.
  events_.push_back({ModelEvent::Kind::Command, route_, "[insertion wait over]", {}, 0});
  const bool read = hybrid_.wait == HybridStatus::Wait::MicrRead;
  hybrid_.wait = HybridStatus::Wait::None;
  asbMaybeChanged();
  if (read && hybrid_.micrRead) {
    hybrid_.micrRead = false;
    send(micrError('C'), "[MICR error]");
  }
}

bool PrinterModel::insertSheet(SheetPath path) {
  if (profile_ != Profile::Hybrid || powerOff_) return false;
  bool& sheet = path == SheetPath::Slip ? hybrid_.slipSheet : hybrid_.validationSheet;
  if (sheet || hybrid_.wait == HybridStatus::Wait::Cleaning) return false;
  sheet = true;
  if (insertionWait(hybrid_.wait)) {
    hybrid_.wait = HybridStatus::Wait::None;
    waitEnds_.reset();
  }
  events_.push_back({ModelEvent::Kind::Command,
                     route_,
                     path == SheetPath::Slip ? "[slip inserted]" : "[validation sheet inserted]",
                     {},
                     0});
  asbMaybeChanged();
  if (hybrid_.micrRead && micrAuto_) answerMicr(*micrAuto_);
  return true;
}

bool PrinterModel::removeSheet() {
  if (profile_ != Profile::Hybrid || powerOff_) return false;
  HybridStatus& h = hybrid_;
  if (!h.slipSheet && !h.validationSheet && !h.removalWaiting) return false;
  h.slipSheet = h.validationSheet = h.removalWaiting = false;
  events_.push_back({ModelEvent::Kind::Command, route_, "[sheet removed]", {}, 0});
  asbMaybeChanged();
  return true;
}

bool PrinterModel::answerMicr(const MicrResult& result) {
  if (profile_ != Profile::Hybrid || powerOff_ || !hybrid_.micrRead) return false;
  std::vector<uint8_t> reply;
  if (result.error != 0) {
    if (result.error < 'A' || result.error > 'J') return false;
    reply = micrError(result.error);
  } else {
    reply = {'7', '*', result.inverted ? kMicrInverted : kMicrPlain, 0x40, 0x1F};
    for (char c : result.text) {
      const auto b = static_cast<uint8_t>(c);
      // A NUL would end the reply early; inverted, 7Eh and above cannot be sent.
      if (b == 0 || (result.inverted && b >= 0x7E)) return false;
      reply.push_back(result.inverted ? static_cast<uint8_t>(0x7E - b) : b);
    }
    reply.push_back(0);
  }
  if (hybrid_.wait == HybridStatus::Wait::MicrRead) {
    // The check goes in, then the reader answers.
    hybrid_.slipSheet = true;
    hybrid_.wait = HybridStatus::Wait::None;
    waitEnds_.reset();
    asbMaybeChanged();
  }
  hybrid_.micrRead = false;
  send(std::move(reply), result.error != 0 ? "[MICR error]" : "[MICR text]");
  return true;
}

void PrinterModel::pullOut() {
  if (profile_ != Profile::Hybrid || powerOff_) return;
  send({'7', 'N', 0x40, '0', 0}, "[pulled out]");
  HybridStatus& h = hybrid_;
  if (insertionWait(h.wait)) {
    h.wait = HybridStatus::Wait::None;
    waitEnds_.reset();
  }
  h.micrRead = false;
  h.slipSheet = h.validationSheet = h.removalWaiting = false;
  asbMaybeChanged();
}

bool PrinterModel::cleaningSheetPassed() {
  if (profile_ != Profile::Hybrid || powerOff_ || hybrid_.wait != HybridStatus::Wait::Cleaning) {
    return false;
  }
  hybrid_.wait = HybridStatus::Wait::None;
  events_.push_back({ModelEvent::Kind::Command, route_, "[cleaning sheet passed]", {}, 0});
  asbMaybeChanged();
  return true;
}

void PrinterModel::flushDisplay() {
  if (displayBytes_.empty()) return;
  events_.push_back(
      {ModelEvent::Kind::Text, Route::Display, {}, std::exchange(displayBytes_, {}), codePage_});
  trimEvents();
}

uint64_t PrinterModel::bytesWaiting() const {
  uint64_t n = 0;
  for (const auto& h : held_) n += h.printBytes;
  return n;
}

std::vector<ModelEvent> PrinterModel::takeEvents() { return std::exchange(events_, {}); }

std::vector<uint8_t> PrinterModel::takeOutput() {
  std::vector<uint8_t> bytes;
  for (const auto& r : out_) bytes.insert(bytes.end(), r.bytes.begin(), r.bytes.end());
  out_.clear();
  return bytes;
}

std::vector<Reply> PrinterModel::takeReplies() { return std::exchange(out_, {}); }

std::vector<RoutedBytes> PrinterModel::takeRouted() { return std::exchange(routed_, {}); }

void PrinterModel::routed(Route route, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  if (routed_.empty() || routed_.back().route != route) routed_.push_back({route, {}});
  auto& span = routed_.back().bytes;
  span.insert(span.end(), bytes.begin(), bytes.end());
}

void PrinterModel::scriptReply(const std::string& command, std::vector<uint8_t> bytes) {
  scripted_[command].push_back(std::move(bytes));
}

std::vector<uint8_t> PrinterModel::advance(Clock::time_point now) {
  print(now);
  if (!powerOff_) hybridTick(now);
  return takeOutput();
}

std::optional<PrinterModel::Clock::time_point> PrinterModel::nextDue() const {
  auto due = waitEnds_;
  if (const auto printing = printDue()) due = due ? std::min(*due, *printing) : printing;
  return due;
}

std::optional<PrinterModel::Clock::time_point> PrinterModel::printDue() const {
  if (hold_ || speed_ == 0 || held_.empty() || !lastPrint_) return std::nullopt;
  uint64_t bytes = 0;
  for (const auto& h : held_) {
    bytes += h.printBytes;
    if (!h.reply.empty()) break;
  }
  const double seconds = (static_cast<double>(bytes) - printCredit_) / speed_;
  return *lastPrint_ + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(std::max(seconds, 0.0)));
}

void PrinterModel::send(std::vector<uint8_t> bytes, const std::string& label) {
  if (bytes.empty()) return;
  events_.push_back({ModelEvent::Kind::Reply, route_, label, bytes, 0});
  // MICR results and pull-outs answer no real-time poll: they go with the queries.
  const bool query = label == "[answer]" || label.rfind("[MICR", 0) == 0 || label == "[pulled out]";
  const ReplyClass replyClass = label == "[ASB]"       ? ReplyClass::Asb
                                : label == "[job end]" ? ReplyClass::JobEnd
                                : query                ? ReplyClass::Query
                                                       : ReplyClass::Realtime;
  out_.push_back({replyClass, std::move(bytes)});
}

void PrinterModel::trimEvents() {
  // Nobody may be reading the transcript: keep the newest lines only.
  constexpr size_t kMaxEvents = 20000;
  if (events_.size() > kMaxEvents) events_.erase(events_.begin(), events_.end() - kMaxEvents / 2);
}

void PrinterModel::command(const std::string& label, const std::string& counter) {
  lastCounter_ = counter.empty() ? label : counter;
  ++commandCounts_[lastCounter_];
  if (!label.empty()) events_.push_back({ModelEvent::Kind::Command, route_, label, {}, 0});
  trimEvents();
}

void PrinterModel::queuePrint(uint64_t bytes) {
  if (held_.empty() || !held_.back().reply.empty()) held_.push_back({});
  held_.back().printBytes += bytes;
}

void PrinterModel::queueReply(std::vector<uint8_t> reply) {
  if (held_.empty() || !held_.back().reply.empty()) held_.push_back({});
  held_.back().reply = std::move(reply);
}

void PrinterModel::print(Clock::time_point now) {
  if (held_.empty()) {
    lastPrint_ = now;
    printCredit_ = 0;
    return;
  }
  if (hold_) {
    lastPrint_ = now;
    return;
  }
  if (speed_ > 0 && lastPrint_) {
    printCredit_ += std::chrono::duration<double>(now - *lastPrint_).count() * speed_;
  }
  lastPrint_ = now;
  while (!held_.empty()) {
    Held& h = held_.front();
    if (h.printBytes > 0) {
      const uint64_t can =
          speed_ == 0 ? h.printBytes
                      : std::min<uint64_t>(h.printBytes, static_cast<uint64_t>(printCredit_));
      h.printBytes -= can;
      bytesPrinted_ += can;
      if (speed_ > 0) printCredit_ -= static_cast<double>(can);
      if (h.printBytes > 0) return;
    }
    std::vector<uint8_t> reply = std::move(h.reply);
    held_.pop_front();
    if (reply.empty()) continue;
    const bool jobEnd = reply.size() == 7 && reply[0] == '7' && reply[1] == 0x22;
    if (jobEnd && jobIdMode_ == JobIdMode::OutOfOrder) {
      if (!deferredJobEnd_) {
        deferredJobEnd_ = std::move(reply);
        continue;
      }
      sendJobEnd(std::move(reply));
      sendJobEnd(std::move(*deferredJobEnd_));
      deferredJobEnd_.reset();
      continue;
    }
    if (jobEnd) {
      sendJobEnd(std::move(reply));
    } else {
      send(std::move(reply), "[answer]");
    }
  }
  if (held_.empty()) printCredit_ = 0;
}

size_t PrinterModel::commandLength(std::span<const uint8_t> b) const {
  const size_t have = b.size();
  auto need = [have](size_t n) -> size_t { return have >= n ? n : 0; };
  if (b[0] == 0 || b[0] == kFf) return 1;
  if (have < 2) return 0;
  const uint8_t c = b[1];
  if (b[0] == kDle) {
    if (c == 0x04) {
      if (have < 3) return 0;
      return need(b[2] == 7 || b[2] == 8 || b[2] == 18 ? 4 : 3);
    }
    if (c == 0x05) return need(3);
    if (c == 0x14) {
      if (have < 3) return 0;
      switch (b[2]) {
        case 1:
        case 2:
          return need(5);
        case 3:
          return need(8);
        case 6:
          return need(12);
        case 7:
          return need(4);
        case 8:
          return need(10);
        case 20:
          return need(7);
        default:
          return need(3);
      }
    }
    return 1;  // a lone DLE: dropped
  }
  if (b[0] == kEsc) {
    if (c == '(') return have < 5 ? 0 : need(5 + le16(b, 3));
    if (c == '*') {
      if (have < 5) return 0;
      return need(5 + le16(b, 3) * (b[2] >= 32 ? 3 : 1));
    }
    return need(2 + escParams(c));
  }
  if (b[0] == kFs) {
    if (c == '(') return have < 5 ? 0 : need(5 + le16(b, 3));
    return need(2 + fsParams(c));
  }
  // GS
  switch (c) {
    case '(':
      return have < 5 ? 0 : need(5 + le16(b, 3));
    case '8': {
      if (have < 7) return 0;
      const size_t p = b[3] | (size_t{b[4]} << 8) | (size_t{b[5]} << 16) | (size_t{b[6]} << 24);
      return need(7 + p);
    }
    case 'V':
      if (have < 3) return 0;
      return need(b[2] == 65 || b[2] == 66 || b[2] == 97 || b[2] == 98 || b[2] == 103 || b[2] == 104
                      ? 4
                      : 3);
    case 'k':
      if (have < 4) return 0;
      if (b[2] <= 6) {
        const auto end = std::find(b.begin() + 3, b.end(), uint8_t{0});
        return end == b.end() ? 0 : static_cast<size_t>(end - b.begin()) + 1;
      }
      return need(4 + b[3]);
    case 'v':
      if (have < 8) return 0;
      return need(8 + le16(b, 4) * le16(b, 6));
    case '*':
      if (have < 4) return 0;
      return need(4 + size_t{b[2]} * b[3] * 8);
    default:
      return need(2 + gsParams(c));
  }
}

std::vector<uint8_t> PrinterModel::receive(std::span<const uint8_t> bytes, Clock::time_point now) {
  feed(bytes, now);
  return takeOutput();
}

void PrinterModel::feed(std::span<const uint8_t> bytes, Clock::time_point now) {
  bytesReceived_ += bytes.size();
  if (powerOff_) {
    routed(Route::Printer, bytes);
    return;
  }
  lastNow_ = now;
  print(now);
  hybridTick(now);
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  size_t pos = 0;
  while (pos < pending_.size()) {
    if (route_ == Route::Display) {
      // The display takes everything up to the printer's own ESC = ; the
      // printer parses none of it (a display's ESC @ or FF is not the printer's).
      size_t end = pos;
      bool partial = false;
      while (end < pending_.size()) {
        if (pending_[end] == kEsc) {
          if (end + 1 == pending_.size()) {
            partial = true;
            break;
          }
          if (pending_[end + 1] == '=') break;
        }
        ++end;
      }
      if (end > pos) {
        const auto shown = std::span<const uint8_t>(pending_).subspan(pos, end - pos);
        routed(Route::Display, shown);
        displayBytes_.insert(displayBytes_.end(), shown.begin(), shown.end());
        commandCounts_["display bytes"] += shown.size();
        pos = end;
        continue;
      }
      if (partial) break;
    }
    const uint8_t b = pending_[pos];
    if (b == 0) {
      routed(route_, std::span<const uint8_t>(pending_).subspan(pos, 1));
      ++pos;  // filler: the host pads open sequences with NUL
      continue;
    }
    if (!isCommandStart(b)) {
      size_t end = pos;
      while (end < pending_.size() && !isCommandStart(pending_[end])) ++end;
      routed(route_, std::span<const uint8_t>(pending_).subspan(pos, end - pos));
      handleText(std::span<const uint8_t>(pending_).subspan(pos, end - pos));
      pos = end;
      continue;
    }
    const size_t length = commandLength(std::span<const uint8_t>(pending_).subspan(pos));
    if (length == 0) break;
    const auto cmd = std::span<const uint8_t>(pending_).subspan(pos, length);
    lastCounter_.clear();
    // ESC = is the printer's own switch, whichever way the data went so far.
    routed(b == kEsc && cmd[1] == '=' ? Route::Printer : route_, cmd);
    if (b == kDle) {
      print(now);  // a job end already printed leaves before the answer
      handleRealtime(cmd);
    } else {
      handleCommand(cmd);
    }
    auto scripted = scripted_.find(lastCounter_);
    if (scripted != scripted_.end() && !scripted->second.empty()) {
      send(std::move(scripted->second.front()), "[scripted]");
      scripted->second.pop_front();
    }
    pos += length;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
  print(now);
  hybridTick(now);
}

bool PrinterModel::isCommandStart(uint8_t b) const {
  // FF ejects the sheet of a hybrid printer; elsewhere it is print data.
  return startsCommand(b) || (b == kFf && profile_ == Profile::Hybrid);
}

void PrinterModel::handleText(std::span<const uint8_t> text) {
  const TextCoding coding = textCoding();
  for (uint8_t c : text) {
    if (c == '\n') {
      flushTextLine();
    } else if (c != '\r') {
      // Each byte is read in the coding in force when it came, not at the line's end.
      if (lineRuns_.empty() || lineRuns_.back().coding != coding) {
        lineRuns_.push_back({line_.size(), coding});
      }
      line_.push_back(c);
    }
  }
  commandCounts_["text bytes"] += text.size();
  if (route_ == Route::Printer) queuePrint(text.size());
}

void PrinterModel::flushTextLine() {
  auto runs = std::exchange(lineRuns_, {});
  ModelEvent line(ModelEvent::Kind::Text, route_, {}, std::exchange(line_, {}),
                  runs.empty() ? codePage_ : runs.front().coding.codePage);
  line.runs = std::move(runs);
  events_.push_back(std::move(line));
  trimEvents();
}

TextCoding PrinterModel::textCoding() const {
  TextCoding coding{codePage_, DoubleByte::None};
  if (!kanji_) return coding;
  switch (international_) {
    case 8:
      coding.doubleByte = DoubleByte::ShiftJis;
      break;
    case 13:
      coding.doubleByte = DoubleByte::Uhc;
      break;
    case 15:
      coding.doubleByte = chineseBig5_ ? DoubleByte::Big5 : DoubleByte::Gb18030;
      break;
    default:
      break;
  }
  return coding;
}

void PrinterModel::powerCycle() {
  setPowerOff(true);
  setPowerOff(false);
  codePage_ = 0;
  international_ = 0;
  kanji_ = false;
  firstJobEndDropped_ = false;
  withheld_.clear();
  out_.clear();
  faults_.autoRecoverable = faults_.mechanicalError = faults_.autocutterError =
      faults_.unrecoverableError = false;
}

void PrinterModel::handleRealtime(std::span<const uint8_t> cmd) {
  if (cmd.size() < 3) return;
  const uint8_t fn = cmd[2];
  const auto key = [&](const char* family) { return std::string(family) + std::to_string(fn); };
  if (cmd[1] == 0x04) {
    const std::string counter = key("DLE EOT ");
    command({}, counter);
    if (fn >= 1 && fn <= 4) {
      send({realtimeStatus(fn)}, "[status " + std::to_string(fn) + "]");
    } else if (fn == 18 && cmd[3] == 1) {
      send({static_cast<uint8_t>(profile_ == Profile::Interrupt ? 0x16 : 0x12)}, "[interrupt?]");
    } else if (fn == 18 && cmd[3] == 2) {
      send({static_cast<uint8_t>(displayConnected_ ? 0x12 : 0x16)}, "[display?]");
    }
    return;
  }
  if (cmd[1] == 0x05) {
    if (fn == 3 && profile_ == Profile::Hybrid) {
      command("[cancel insertion]", key("DLE ENQ "));
      // The wait for a sheet (or a cleaning sheet) stops at once; a MICR read
      // reports that it was cancelled.
      if (hybrid_.wait != HybridStatus::Wait::None) {
        hybrid_.wait = HybridStatus::Wait::None;
        waitEnds_.reset();
        asbMaybeChanged();
      }
      if (hybrid_.micrRead) {
        hybrid_.micrRead = false;
        send(micrError('B'), "[MICR error]");
      }
      return;
    }
    command({}, key("DLE ENQ "));
    return;
  }
  command({}, key("DLE DC4 "));
  switch (fn) {
    case 7:
      if (cmd[3] == 5 && profile_ == Profile::Battery) {
        const uint8_t p = std::min<uint8_t>(battery_, 99);
        send({'7', 'E', static_cast<uint8_t>('0' + p / 10), static_cast<uint8_t>('0' + p % 10), 0},
             "[battery]");
      } else if (cmd[3] == 2) {
        send({'9', static_cast<uint8_t>(0x40 | (extErrorBits_ & 0x0C)), 0x40, 0}, "[extended]");
      } else if (cmd[3] == 4) {
        uint8_t reasons = faults_.offlineReasons & 0x1F;
        if (faults_.coverOpen) reasons |= 0x01;
        send({'7', '#', 0x40, 0x40, 0x40, 0x40, static_cast<uint8_t>(0x40 | reasons), 0},
             "[offline response]");
      }
      break;
    case 8:
      // Clear buffer: whatever was not printed yet, job ends included, is gone.
      held_.clear();
      deferredJobEnd_.reset();
      withheld_.clear();
      line_.clear();
      lineRuns_.clear();
      events_.push_back({ModelEvent::Kind::Command, route_, "[clear buffer]", {}, 0});
      if (clearAcknowledged_) send({'7', '%', 0}, "[cleared]");
      if (hybrid_.cueingError) {
        // Recovery clears the cueing error.
        hybrid_.cueingError = false;
        asbMaybeChanged();
      }
      break;
    case 6:
      if (profile_ == Profile::Interrupt) {
        send({'7', 0x5C, static_cast<uint8_t>(interruptRefused_ ? '1' : '0'), 0}, "[interrupt]");
      }
      break;
    case 20: {
      const auto status = asb();
      send({status.begin(), status.end()}, "[ASB]");
      send({'9', static_cast<uint8_t>(0x40 | (extErrorBits_ & 0x0C)), 0x40, 0}, "[extended]");
      break;
    }
    default:
      break;
  }
}

bool PrinterModel::hybridCommand(std::span<const uint8_t> cmd, bool afterWaitTime) {
  using W = HybridStatus::Wait;
  const uint8_t family = cmd[0];
  const uint8_t c = cmd.size() > 1 ? cmd[1] : 0;
  auto label = [&](const std::string& text) {
    events_.push_back({ModelEvent::Kind::Command, route_, text, {}, 0});
    trimEvents();
  };
  if (family == kFf) {
    label("[eject]");
    if (hybrid_.slipSheet || hybrid_.validationSheet) {
      hybrid_.removalWaiting = true;
      asbMaybeChanged();
    }
    return true;
  }
  if (family == kEsc && c == '@') {
    // A new job forgets the last selection; the sheets stay where they are.
    selected_.reset();
    waitMs_.reset();
    return false;
  }
  if (family == kEsc && c == 'f') {
    waitMs_ = uint32_t{cmd[3]} * 100;
    waitTimeJustSet_ = true;
    label("[insertion wait " + std::to_string(*waitMs_) + " ms]");
    return true;
  }
  if (family == kEsc && c == 'c' && cmd[2] == '0' && cmd[3] == 0x08) {
    selected_ = W::Micr;
    selectedWithPrologue_ = true;
    return true;
  }
  if (family == kGs && c == '(' && cmd[2] == 'G' && cmd.size() == 7) {
    const uint8_t fn = cmd[5], m = cmd[6];
    if (fn == 0x30) {
      selected_ = m == 0x04   ? std::optional(W::Slip)
                  : m == 0x44 ? std::optional(W::Validation)
                              : std::nullopt;
      selectedWithPrologue_ = afterWaitTime;
      return true;
    }
    if (fn == 0x54 && m == 0x01 && selected_) {
      const W wait = *std::exchange(selected_, std::nullopt);
      if (wait == W::Micr) {
        label("[MICR insertion]");
        startWait(W::Micr, lastNow_);
      } else if (selectedWithPrologue_) {
        label(wait == W::Slip ? "[slip insertion]" : "[validation insertion]");
        startWait(wait, lastNow_);
      } else {
        // Without the prologue it is the cueing of a paper-type selection.
        label("[slip cueing]");
        cue();
      }
      return true;
    }
    return false;
  }
  if (family == kFs && c == 'a' && cmd[2] == '0') {
    label("[MICR read" + std::string(cmd[3] == 1 ? ", font 1]" : "]"));
    hybrid_.micrRead = true;
    // With the check already in, the read only waits for its result.
    if (!hybrid_.slipSheet) {
      startWait(W::MicrRead, lastNow_);
    } else if (micrAuto_) {
      answerMicr(*micrAuto_);
    }
    return true;
  }
  if (family == kFs && c == 'c') {
    label("[MICR cleaning]");
    if (!cleaningNeverWaits_) startWait(W::Cleaning, lastNow_);
    return true;
  }
  return false;
}

void PrinterModel::cue() {
  // The first status shows the printer drawing the sheet in with the slip
  // path still empty, the next one the sheet in place (or the cueing error).
  hybrid_.cueingError = false;
  hybrid_.slipSheet = false;  // a sheet already in is drawn back to be cued
  hybrid_.wait = HybridStatus::Wait::Slip;
  waitEnds_.reset();
  sendAsbNow();
  if (cueingStalls_) return;  // it waits like any insertion: a trigger still brings the sheet
  hybrid_.wait = HybridStatus::Wait::None;
  if (cueingErrorSwitch_) {
    hybrid_.cueingError = true;
  } else {
    hybrid_.slipSheet = true;
  }
  asbMaybeChanged();
}

void PrinterModel::handleCommand(std::span<const uint8_t> cmd) {
  const uint8_t family = cmd[0];
  // FF on the hybrid profile is a command of one byte.
  const uint8_t c = cmd.size() > 1 ? cmd[1] : 0;
  const char* familyName = family == kEsc ? "ESC " : family == kFs ? "FS " : "GS ";
  std::string counter = familyName;
  counter += printable(c);
  if ((c == '(' || c == '8') && cmd.size() > 2) {
    counter += ' ';
    counter += printable(cmd[2]);
  }
  const uint8_t n = cmd.size() > 2 ? cmd[2] : 0;
  // The insertion prologue ends with ESC f: the path selected next comes with it.
  const bool afterWaitTime = std::exchange(waitTimeJustSet_, false);
  if (family == kFf) counter = "FF";
  if (profile_ == Profile::Hybrid && hybridCommand(cmd, afterWaitTime)) {
    lastCounter_ = counter;
    ++commandCounts_[counter];
    return;
  }
  if (family == kFf) return command("", counter);

  if (family == kEsc) {
    switch (c) {
      case '=': {
        const Route next = (n & 0x01) ? Route::Printer : (n & 0x02) ? Route::Display : route_;
        if (next != route_ && !line_.empty()) flushTextLine();
        if (next != Route::Display) flushDisplay();
        route_ = next;
        command(next == Route::Printer ? "[printer]" : "[display]", counter);
        return;
      }
      case '@':
        codePage_ = 0;
        international_ = 0;
        kanji_ = false;
        return command("[init]", counter);
      case 'a':
        return command((n % 48) == 1 ? "[centre]" : (n % 48) == 2 ? "[right]" : "[left]", counter);
      case 'E':
        return command((n & 1) ? "[bold]" : "[bold off]", counter);
      case '-':
        return command("[underline " + std::to_string(n % 48) + "]", counter);
      case '!':
        return command("[mode " + hexBytes(cmd.subspan(2, 1)) + "h]", counter);
      case 't':
        codePage_ = n;
        return command("[code page " + std::to_string(n) + "]", counter);
      case 'R':
        international_ = n;
        return command("[international " + std::to_string(n) + "]", counter);
      case 'M':
        return command("[font " + std::to_string(n % 48) + "]", counter);
      case 'J':
        return command("[feed " + std::to_string(n) + " dots]", counter);
      case 'd':
        return command("[feed " + std::to_string(n) + " lines]", counter);
      case 'p':
        return command("[drawer]", counter);
      case '*':
        return command("[bit image " + std::to_string(le16(cmd, 3)) + " columns]", counter);
      case '(':
        return command(cmd.size() > 5 && cmd[2] == 'A' ? "[sound]" : "", counter);
      default:
        return command("", counter);
    }
  }
  if (family == kFs) {
    // Kanji mode: bytes from 80h on start double-byte characters.
    if (c == '&') {
      kanji_ = true;
      return command("[kanji on]", counter);
    }
    if (c == '.') {
      kanji_ = false;
      return command("[kanji off]", counter);
    }
    return command("", counter);
  }

  // GS
  switch (c) {
    case '!':
      return command(
          "[size " + std::to_string((n >> 4) + 1) + "x" + std::to_string((n & 15) + 1) + "]",
          counter);
    case 'V':
      return command("[cut]", counter);
    case 'k': {
      const bool nulForm = n <= 6;
      const auto data = nulForm ? cmd.subspan(3, cmd.size() - 4) : cmd.subspan(4, cmd.size() - 4);
      return command(std::string("[barcode ") + barcodeName(n) + " \"" +
                         std::string(data.begin(), data.end()) + "\"]",
                     counter);
    }
    case 'v':
      return command(
          "[raster " + std::to_string(le16(cmd, 4) * 8) + "x" + std::to_string(le16(cmd, 6)) + "]",
          counter);
    case '8':
    case '(': {
      const size_t at = c == '8' ? 7 : 5;  // first byte behind the length
      const uint8_t sub = cmd[2];
      const auto body = cmd.subspan(at);
      if (sub == 'k' && body.size() >= 3 && body[1] == 0x50) {
        // Storing the data is the one line a symbol gets; its settings and
        // its print command are counted only.
        return command(std::string("[") + symbolName(body[0]) + " " +
                           quoted(body.subspan(body[0] == 0x33 && body.size() > 3 ? 4 : 3)) + "]",
                       counter);
      }
      if (sub == 'L' && body.size() >= 10 && body[0] == 0x30 && body[1] == 0x70) {
        return command("[graphics " + std::to_string(le16(body, 6)) + "x" +
                           std::to_string(le16(body, 8)) + "]",
                       counter);
      }
      if (sub == 'L' && body.size() >= 2 && body[0] == 0x30 && body[1] == 0x32) {
        return command("[print graphics]", counter);
      }
      if (sub == 'L' && body.size() >= 2 && body[0] == 0x30 && body[1] == 0x45) {
        return command("[logo]", counter);
      }
      if (sub == 'H' && body.size() == 6 && body[0] == 0x30 && body[1] == 0x30) {
        const std::string id(body.begin() + 2, body.end());
        command("[job end \"" + id + "\"]", counter);
        std::vector<uint8_t> reply{'7', 0x22};
        if (jobIdMode_ == JobIdMode::ReplaceFFFF) {
          reply.insert(reply.end(), {'F', 'F', 'F', 'F'});
        } else if (jobIdMode_ == JobIdMode::ReplaceABCD) {
          reply.insert(reply.end(), {'A', 'B', 'C', 'D'});
        } else {
          reply.insert(reply.end(), body.begin() + 2, body.end());
        }
        reply.push_back(0);
        if (jobIdMode_ == JobIdMode::DropFirst && !firstJobEndDropped_) {
          firstJobEndDropped_ = true;
          return;
        }
        if (jobIdMode_ != JobIdMode::Drop) queueReply(std::move(reply));
        return;
      }
      if (sub == 'E' && body.size() == 2 && body[0] == 0x06) {
        command("[info query]", counter);
        const uint8_t width = profile_ == Profile::Line     ? '1'
                              : profile_ == Profile::Impact ? '0'
                                                            : '2';
        if (body[1] == 0x03) queueReply({'7', 0x27, '3', '1', width, 0});
        if (body[1] == 0x0B) {
          queueReply({'7', 0x27, '1', '0', '0',
                      static_cast<uint8_t>(profile_ == Profile::Line ? '1' : '0'), 0});
        }
        return;
      }
      return command("", counter);
    }
    case 'a': {
      asbEnabled_ = n != 0;
      command(asbEnabled_ ? "[ASB on]" : "[ASB off]", counter);
      asbSent_.reset();  // GS a answers the current status at once
      asbMaybeChanged();
      return;
    }
    case 'r':
      command("[status request]", counter);
      if (n == 1 || n == 49) {
        uint8_t paper = 0;
        if (faults_.nearEnd) paper |= 0x03;
        if (faults_.paperEnd) paper |= 0x0C;
        queueReply({paper});
      }
      return;
    case 'I': {
      command("[identify " + std::to_string(n) + "]", counter);
      if (n == 1 || n == 49) {
        queueReply({modelId()});
      } else if (n == 33) {
        // Endorsement, MICR and validation supported; the fourth byte says
        // that errors are to be read from the extended status.
        if (extendedInfo_) {
          queueReply({'=', '!', 0x68, 0x60, 0x42, 0});
        } else {
          queueReply({'=', '!', 0x68, 0x60, 0});
        }
      } else if (n == 67) {
        std::vector<uint8_t> reply{'_'};
        const auto name = modelName();
        reply.insert(reply.end(), name.begin(), name.end());
        reply.push_back(0);
        queueReply(std::move(reply));
      } else if (n == 'n') {
        queueReply({'=', 'n',
                    static_cast<uint8_t>(profile_ == Profile::Line     ? '1'
                                         : profile_ == Profile::Impact ? '0'
                                                                       : '2'),
                    0});
      }
      return;
    }
    default:
      return command("", counter);
  }
}

}  // namespace printer_emulator
