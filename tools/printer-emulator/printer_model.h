#pragma once
// The printer itself, free of any transport: bytes from the host go in, the
// printer's answers come out. A network front, or later a fake Bluetooth or
// USB device, only moves bytes to and from it. Not thread-safe: the owner
// serialises every call.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace printer_emulator {

enum class Profile {
  Receipt,    // standard receipt printer (the default)
  Line,       // line model: model id 0Dh
  Impact,     // the job end is the one status byte answering GS r 1
  Battery,    // answers the battery query; ASB bit 2 means battery empty
  Interrupt,  // supports interrupt printing
};

// "receipt", "line", "impact", "battery", "interrupt".
std::optional<Profile> profileFromName(const std::string& name);
const char* profileName(Profile profile);

// Where data goes after ESC = n.
enum class Route { Printer, Display };

// How the printer answers the job trailer's GS ( H job-id request.
enum class JobIdMode {
  Echo,         // the id the host sent
  ReplaceFFFF,  // "FFFF" instead of the id
  ReplaceABCD,  // "ABCD" instead of the id
  Drop,         // no job end at all
  OutOfOrder,   // each pair of job ends leaves second first (a lone one waits for the next)
  DropFirst,    // no job end for the first job, the id the host sent for the later ones
};

// Conditions that change the automatic status.
struct Faults {
  bool coverOpen = false;
  bool nearEnd = false;
  bool paperEnd = false;
  bool offline = false;        // offline without a reason
  bool offlineReason = false;  // offline, waiting for online recovery
  bool feed = false;           // paper fed with the feed button
  bool panelSwitch = false;
  bool autoRecoverable = false;  // automatically recoverable error
  uint8_t offlineReasons = 0;    // reason bits of the offline response (bit 0 cover .. bit 4 paper)
  bool batteryEmpty = false;     // battery profile only
  bool drawerHigh = false;

  bool operator==(const Faults&) const = default;
};

// What an answer is, so a front can delay or shape each class apart.
enum class ReplyClass { Realtime, Asb, Query, JobEnd };

struct Reply {
  ReplyClass replyClass = ReplyClass::Realtime;
  std::vector<uint8_t> bytes;
};

// One line of what the printer understood, for a transcript.
struct ModelEvent {
  enum class Kind { Command, Text, Reply };
  Kind kind = Kind::Command;
  Route route = Route::Printer;
  std::string label;          // "[centre]", "[cut]", ... (commands and replies)
  std::vector<uint8_t> text;  // Text: the line as sent (without its LF); Reply: the bytes
  uint8_t codePage = 0;       // Text: the page selected by ESC t when it came
};

// Bytes the host sent, as the printer took them: to itself or to the display.
struct RoutedBytes {
  Route route = Route::Printer;
  std::vector<uint8_t> bytes;
};

class PrinterModel {
 public:
  using Clock = std::chrono::steady_clock;

  explicit PrinterModel(Profile profile = Profile::Receipt);

  Profile profile() const { return profile_; }
  void setProfile(Profile profile) { profile_ = profile; }

  // Bytes from the host, split anywhere. Returns everything the printer has
  // to send now: answers, automatic status changes and job ends that came due.
  std::vector<uint8_t> receive(std::span<const uint8_t> bytes,
                               Clock::time_point now = Clock::now());
  // Lets printing go on to now (with a print speed set); returns what came due.
  std::vector<uint8_t> advance(Clock::time_point now = Clock::now());
  // Output queued by a setter (an ASB change) and not yet taken.
  std::vector<uint8_t> takeOutput();
  // The same output, one entry per answer (receive() without taking it: feed()).
  void feed(std::span<const uint8_t> bytes, Clock::time_point now = Clock::now());
  std::vector<Reply> takeReplies();
  // Sends bytes once, right after the next command counted under that name
  // ("DLE EOT 1", "GS ( H", ...; see commandCounts()), besides the own answer.
  void scriptReply(const std::string& command, std::vector<uint8_t> bytes);
  // When the next held job end could come due with the print speed, if any.
  std::optional<Clock::time_point> nextDue() const;

  // Status.
  std::array<uint8_t, 4> asb() const;
  // Fixes the ASB bytes regardless of the faults; nullopt goes back to the faults.
  void setAsbOverride(std::optional<std::array<uint8_t, 4>> bytes);
  const Faults& faults() const { return faults_; }
  void setFaults(const Faults& faults);
  bool asbEnabled() const { return asbEnabled_; }
  // The byte answering DLE EOT n (n 1..4).
  uint8_t realtimeStatus(int n) const;

  // Behaviour switches.
  void setPrintSpeed(uint32_t bytesPerSecond);  // 0: instant (the default)
  void setHoldPrinting(bool hold);              // buffer full: print data and job ends wait
  void setPowerOff(bool off);                   // takes bytes in, answers nothing
  bool powerOff() const { return powerOff_; }
  void setClearAcknowledged(bool acknowledged) { clearAcknowledged_ = acknowledged; }
  void setInterruptRefused(bool refused) { interruptRefused_ = refused; }
  void setJobIdMode(JobIdMode mode) { jobIdMode_ = mode; }
  void setDisplayConnected(bool connected) { displayConnected_ = connected; }
  void setBattery(uint8_t percent) { battery_ = percent; }
  void setExtendedStatus(uint8_t errorBits) { extErrorBits_ = errorBits; }  // bits 2, 3: errors

  // What the printer understood.
  Route route() const { return route_; }
  uint8_t codePage() const { return codePage_; }
  uint64_t bytesReceived() const { return bytesReceived_; }
  uint64_t bytesPrinted() const { return bytesPrinted_; }
  uint64_t bytesWaiting() const;  // taken in but not yet printed
  const std::map<std::string, uint64_t>& commandCounts() const { return commandCounts_; }
  // The bytes taken in since the last call, by where they went.
  std::vector<RoutedBytes> takeRouted();
  // Transcript lines since the last call.
  std::vector<ModelEvent> takeEvents();

  // Model identity as the printer reports it.
  uint8_t modelId() const;
  std::string modelName() const;

 private:
  struct Held {
    uint64_t printBytes = 0;     // data to print before the reply
    std::vector<uint8_t> reply;  // a job end, sent once printed
  };

  // Length of the command at the start of bytes, 0 when more bytes are needed.
  size_t commandLength(std::span<const uint8_t> bytes) const;
  void handleCommand(std::span<const uint8_t> command);
  void handleRealtime(std::span<const uint8_t> command);
  void handleText(std::span<const uint8_t> text);
  void flushTextLine();
  void queuePrint(uint64_t bytes);
  void queueReply(std::vector<uint8_t> reply);  // sent once earlier data is printed
  void send(std::vector<uint8_t> bytes, const std::string& label);
  void command(const std::string& label, const std::string& counter = {});
  void asbMaybeChanged();
  void routed(Route route, std::span<const uint8_t> bytes);
  void trimEvents();
  void print(Clock::time_point now);

  Profile profile_;
  Faults faults_;
  std::optional<std::array<uint8_t, 4>> asbOverride_;
  bool asbEnabled_ = false;
  std::optional<std::array<uint8_t, 4>> asbSent_;

  std::vector<uint8_t> pending_;  // an unfinished command
  Route route_ = Route::Printer;
  uint8_t codePage_ = 0;
  std::vector<uint8_t> line_;

  std::deque<Held> held_;
  std::optional<std::vector<uint8_t>> deferredJobEnd_;  // OutOfOrder: waiting for the next one
  uint32_t speed_ = 0;
  std::optional<Clock::time_point> lastPrint_;
  double printCredit_ = 0;
  bool hold_ = false;
  bool powerOff_ = false;
  bool clearAcknowledged_ = true;
  bool interruptRefused_ = false;
  JobIdMode jobIdMode_ = JobIdMode::Echo;
  bool firstJobEndDropped_ = false;  // DropFirst: the one job end left out is gone
  bool displayConnected_ = true;
  uint8_t battery_ = 80;
  uint8_t extErrorBits_ = 0;

  uint64_t bytesReceived_ = 0;
  uint64_t bytesPrinted_ = 0;
  std::map<std::string, uint64_t> commandCounts_;
  std::vector<ModelEvent> events_;
  std::vector<Reply> out_;
  std::vector<RoutedBytes> routed_;
  std::map<std::string, std::deque<std::vector<uint8_t>>> scripted_;
  std::string lastCounter_;
};

}  // namespace printer_emulator
