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
#include <utility>
#include <vector>

namespace printer_emulator {

enum class Profile {
  Receipt,    // standard receipt printer (the default)
  Line,       // line model: model id 0Dh
  Impact,     // the job end is the one status byte answering GS r 1
  Battery,    // answers the battery query; ASB bit 2 means battery empty
  Interrupt,  // supports interrupt printing
  Hybrid,     // roll paper plus a slip and a validation path for cut sheets, and a MICR reader
};

// "receipt", "line", "impact", "battery", "interrupt", "hybrid".
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

// The two paths of a hybrid printer a cut sheet goes into.
enum class SheetPath { Slip, Validation };

// What the MICR reader reports for a read.
struct MicrResult {
  std::string text;       // the characters read
  bool inverted = false;  // each character b sent as 7Eh - b (status bit 2)
  char error = 0;         // 'A'..'J': the read failed with this letter, no text
};

// What a hybrid printer is doing, for tests that wait for a moment to act.
struct HybridStatus {
  // What the printer waits for while the insertion-wait bit (third byte 02h) is set.
  enum class Wait { None, Slip, Validation, Micr, MicrRead, Cleaning };
  Wait wait = Wait::None;
  bool micrRead = false;         // a MICR read runs: its sheet or its result still to come
  bool slipSheet = false;        // a sheet in the slip path (fourth byte 02h clear)
  bool validationSheet = false;  // a sheet in the validation path (fourth byte 08h clear)
  bool removalWaiting = false;   // an ejected sheet waits to be taken (third byte 08h)
  bool cueingError = false;      // fourth byte 01h

  bool operator==(const HybridStatus&) const = default;
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
  bool autoRecoverable = false;     // automatically recoverable error
  bool mechanicalError = false;     // recoverable error (a paper jam)
  bool autocutterError = false;     // the cutter is stuck
  bool unrecoverableError = false;  // only a power cycle helps
  uint8_t offlineReasons = 0;  // reason bits of the offline response (bit 0 cover .. bit 4 paper)
  bool batteryEmpty = false;   // battery profile only
  bool drawerHigh = false;

  bool operator==(const Faults&) const = default;
};

// What an answer is, so a front can delay or shape each class apart.
enum class ReplyClass { Realtime, Asb, Query, JobEnd };

struct Reply {
  ReplyClass replyClass = ReplyClass::Realtime;
  std::vector<uint8_t> bytes;
};

// The double-byte encoding text is read in while Kanji mode (FS &) is on,
// chosen by the international character set (ESC R): Japan Shift_JIS (the
// Windows form), China GB18030 (or Big5 on a traditional-Chinese printer),
// Korea the unified Hangul code. None: one byte is one character.
enum class DoubleByte { None, ShiftJis, Gb18030, Big5, Uhc };

// How the printer reads text bytes at one moment.
struct TextCoding {
  uint8_t codePage = 0;  // ESC t n
  DoubleByte doubleByte = DoubleByte::None;

  bool operator==(const TextCoding&) const = default;
};

// From byte `at` of a line on, its bytes are read as `coding` says.
struct CodingRun {
  size_t at = 0;
  TextCoding coding;

  bool operator==(const CodingRun&) const = default;
};

// One line of what the printer understood, for a transcript.
struct ModelEvent {
  // Link: the data connection came or went (the network front adds these).
  enum class Kind { Command, Text, Reply, Link };

  ModelEvent() = default;
  ModelEvent(Kind k, Route r, std::string l = {}, std::vector<uint8_t> t = {}, uint8_t page = 0)
      : kind(k), route(r), label(std::move(l)), text(std::move(t)), codePage(page) {}

  Kind kind = Kind::Command;
  Route route = Route::Printer;
  std::string label;          // "[centre]", "[cut]", ... (commands, replies, links)
  std::vector<uint8_t> text;  // Text: the line as sent (without its LF); Reply: the bytes
  uint8_t codePage = 0;       // Text: the page selected by ESC t when the line began
  // Text: how each part of the line was read, in the coding in force when its
  // bytes came (a line may switch code page or Kanji mode midway). Empty: the
  // whole line in codePage.
  std::vector<CodingRun> runs;
  // When the printer took the line in (wall clock); the network front sets it.
  std::chrono::system_clock::time_point when{};
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
  // When the next held job end could come due with the print speed, or an
  // insertion wait ends by itself, if any.
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
  // China's double-byte text is Big5 (a traditional-Chinese printer), not GB18030.
  void setChineseBig5(bool big5) { chineseBig5_ = big5; }
  // Back to the state the printer has when switched on: buffers, answers due,
  // status sending, code page, Kanji mode and waits are gone, the errors that
  // only a power cycle ends are over; the cover, paper and sheets stay as they are.
  void powerCycle();
  // Job ends that come due are kept back (queries are still answered) until
  // the switch goes off, then sent in order; the clear-buffer command drops them.
  void setJobEndsWithheld(bool withheld);
  size_t jobEndsWithheld() const { return withheld_.size(); }
  bool displayConnected() const { return displayConnected_; }

  // Hybrid profile switches.
  // GS I 33 adds a fourth byte with bit 1: errors are read from the extended status.
  void setExtendedInfo(bool on) { extendedInfo_ = on; }
  void setSheetInserted(SheetPath path, bool inserted);  // a sheet already in the path
  void setRemovalWaiting(bool waiting);
  // An insertion wait (or a MICR read's) ends by itself after the time ESC f
  // set; without this switch it waits for a trigger.
  void setInsertionAutoEnd(bool on) { insertionAutoEnd_ = on; }
  void setCueingError(bool on) { cueingErrorSwitch_ = on; }  // cueing sets bit 24 instead
  // Cueing never draws the sheet in by itself: it waits like an insertion.
  void setCueingStalls(bool on) { cueingStalls_ = on; }
  void setCleaningNeverWaits(bool on) { cleaningNeverWaits_ = on; }  // FS c never sets bit 17
  void setSlipSensors(uint8_t bits);  // third byte bits 5-6 (bits 0-1 here)
  // Nobody at the printer: every insertion wait gets its sheet at once, and a
  // MICR read its check and this result (a program run by hand uses these).
  void setAutoInsert(bool on) { autoInsert_ = on; }
  void setMicrAutoResult(std::optional<MicrResult> result) { micrAuto_ = std::move(result); }

  // Hybrid triggers: what a person does at the printer. Each returns false
  // (and changes nothing) when the printer is in no state to take it.
  bool insertSheet(SheetPath path);  // ends an insertion wait; the sheet is in
  bool removeSheet();                // takes an ejected or inserted sheet out
  // Answers the running MICR read (its sheet goes in first if still awaited);
  // false without a read, for a letter outside A..J or text that cannot be sent.
  bool answerMicr(const MicrResult& result);
  void pullOut();              // 37 4E x 30 00; ends a wait or a read, the sheet is gone
  bool cleaningSheetPassed();  // ends the cleaning wait
  HybridStatus hybrid() const;

  // What the printer understood.
  Route route() const { return route_; }
  uint8_t codePage() const { return codePage_; }
  TextCoding textCoding() const;  // how text bytes are read now
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
  void sendJobEnd(std::vector<uint8_t> reply);
  bool isCommandStart(uint8_t b) const;
  std::optional<Clock::time_point> printDue() const;
  // Hybrid commands; true when the command was one of them.
  bool hybridCommand(std::span<const uint8_t> cmd, bool afterWaitTime);
  void cue();
  void startWait(HybridStatus::Wait wait, Clock::time_point now);
  void hybridTick(Clock::time_point now);
  void sendAsbNow();  // even when unchanged: the engine counts the packets of a cueing
  void flushDisplay();

  Profile profile_;
  Faults faults_;
  std::optional<std::array<uint8_t, 4>> asbOverride_;
  bool asbEnabled_ = false;
  std::optional<std::array<uint8_t, 4>> asbSent_;

  std::vector<uint8_t> pending_;  // an unfinished command
  Route route_ = Route::Printer;
  uint8_t codePage_ = 0;
  uint8_t international_ = 0;  // ESC R n
  bool kanji_ = false;         // FS & on, FS . off
  bool chineseBig5_ = false;
  std::vector<uint8_t> line_;
  std::vector<CodingRun> lineRuns_;  // how the bytes of line_ are read

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
  bool withholdJobEnds_ = false;
  std::deque<std::vector<uint8_t>> withheld_;  // due job ends kept back, oldest first
  bool displayConnected_ = true;
  uint8_t battery_ = 80;
  uint8_t extErrorBits_ = 0;

  // Hybrid.
  bool extendedInfo_ = false;
  bool insertionAutoEnd_ = false;
  bool cueingErrorSwitch_ = false;
  bool cueingStalls_ = false;
  bool cleaningNeverWaits_ = false;
  bool autoInsert_ = false;
  std::optional<MicrResult> micrAuto_;
  uint8_t slipSensors_ = 0;
  HybridStatus hybrid_;
  std::optional<uint32_t> waitMs_;              // ESC f 0 n: n x 100 ms
  bool waitTimeJustSet_ = false;                // the command before was ESC f: a prologue ran
  std::optional<HybridStatus::Wait> selected_;  // the path GS ( G / ESC c 0 chose
  bool selectedWithPrologue_ = false;
  std::optional<Clock::time_point> waitEnds_;  // with the auto-end switch
  Clock::time_point lastNow_{};
  std::vector<uint8_t> displayBytes_;  // display data since ESC = 2, for one transcript line

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
