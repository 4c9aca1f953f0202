// Runs one emulated network printer until interrupted and shows what it
// understood of each job and what it answered (see README.md, --help).

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "control.h"
#include "foundation/poll_wait.h"
#include "printer_emulator.h"
#include "transcript.h"

#ifndef PRINTER_EMULATOR_VERSION
#define PRINTER_EMULATOR_VERSION "unknown"
#endif

namespace {

using namespace printer_emulator;

std::atomic<bool> g_stop{false};

void onSignal(int) { g_stop = true; }

const char kHelp[] =
    "usage: printer-emulator --address 127.0.0.N [options]\n"
    "\n"
    "Runs one network printer on a loopback address: TCP data port (9100) and\n"
    "UDP control port (3289). It prints a transcript of what it understood of\n"
    "each job and what it answered, each line with the time it came, until\n"
    "interrupted (Ctrl-C).\n"
    "\n"
    "Printer:\n"
    "  --address A           loopback IPv4 address to listen on (required)\n"
    "  --port-tcp N          data port (default 9100)\n"
    "  --port-udp N          control port (default 3289)\n"
    "  --profile P           receipt (default), line, impact, battery, interrupt, hybrid\n"
    "  --mac XX:XX:XX:XX:XX:XX   MAC address it reports\n"
    "  --name TEXT           name it tells a discovery (default RP-S100; with the\n"
    "                        hybrid profile RP-X5E, a hybrid printer's)\n"
    "  --dhcp                tell a discovery it takes its address by DHCP\n"
    "  --status B0B1B2B3     fixed automatic status bytes, hex (default: from the faults)\n"
    "  --print-speed BPS     print data this many bytes a second (default: instant)\n"
    "  --battery PERCENT     battery level (battery profile)\n"
    "  --chinese-big5        Chinese double-byte text is Big5 (default GB18030)\n"
    "\n"
    "Faults:\n"
    "  --cover-open, --near-end, --paper-end, --feed, --panel-switch\n"
    "  --offline             offline without a reason\n"
    "  --offline-reason      offline, waiting for online recovery\n"
    "  --auto-recoverable    automatically recoverable error (head overheat)\n"
    "  --mechanical-error, --autocutter-error, --unrecoverable-error\n"
    "  --withhold-job-ends   print jobs but never report their ends\n"
    "  --power-off           data port silent, no client reported, status query silent\n"
    "  --power-off-f000      as --power-off, the status query answered with result F000h\n"
    "  --hold                receive buffer full: print data and job ends wait\n"
    "  --tcp-mode M          normal, silent, stalled (reads nothing), close, reset (on accept)\n"
    "  --silent              the same as --tcp-mode silent\n"
    "  --no-clear-ack        never acknowledge the clear-buffer command\n"
    "  --refuse-interrupt    refuse interrupt printing (interrupt profile)\n"
    "  --job-ids M           echo (default), ffff, abcd, drop, swap (out of order),\n"
    "                        drop-first (no end for the first job)\n"
    "  --reply-delay C=MS    delay answers of class C: realtime, asb, query, jobend\n"
    "  --udp-delay CMD=MS    delay the control reply to command CMD (hex, e.g. 03000010)\n"
    "  --udp-silent CMD      never answer control command CMD\n"
    "  --split-replies       send every answer byte by byte\n"
    "  --asb-between         an ASB before every other answer\n"
    "  --junk                a junk byte (FFh) before every answer\n"
    "  --disconnect W:N[:rst]  end the connection after N bytes (W bytes), job ends\n"
    "                        (W job) or real-time answers (W polls); FIN unless rst\n"
    "  --no-display          no customer display behind the printer\n"
    "  --ext-error10, --ext-error11  error bit 10 or 11 in the extended status\n"
    "\n"
    "Hybrid printer (--profile hybrid):\n"
    "  --extended-info       GS I 33 says errors come from the extended status\n"
    "  --slip-in, --validation-in  a sheet already in the slip or validation path\n"
    "  --removal-waiting     an ejected sheet waits to be taken\n"
    "  --wait-ends           an insertion wait ends by itself after its ESC f time\n"
    "  --cueing-error        the cueing of a paper-type selection fails (bit 24)\n"
    "  --cueing-stalls       the cueing waits for the sheet like an insertion\n"
    "  --cleaning-no-wait    the MICR cleaning never asks for the cleaning sheet\n"
    "  --auto-insert         every insertion wait gets its sheet at once\n"
    "  --micr-text TEXT      every MICR read gets its check and reads TEXT\n"
    "  --micr-error L        every MICR read fails with the letter L (A..J)\n"
    "\n"
    "Switches while it runs: one command a line on stdin, or on the control\n"
    "socket, each answered with one line (ok, the status, or an error):\n"
    "  cover open|close, paper end|near|ok, power off|on, offline [on|off],\n"
    "  online, silent [on|off], status, help\n"
    "  --control PORT        TCP control socket on the same address (e.g. 9101)\n"
    "\n"
    "Output:\n"
    "  --hex                 raw bytes in and out instead of the transcript\n"
    "  --log FILE            also write the output to FILE\n"
    "  --help, --version\n";

int usage(const std::string& why) {
  std::fprintf(stderr, "printer-emulator: %s\n(try --help)\n", why.c_str());
  return 2;
}

bool parseMac(const char* text, PrinterState::Mac& mac) {
  unsigned v[6];
  if (std::strlen(text) != 17 ||
      std::sscanf(text, "%2x:%2x:%2x:%2x:%2x:%2x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) {
    return false;
  }
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(v[i]);
  return true;
}

bool parseStatus(const char* text, std::array<uint8_t, 4>& status) {
  unsigned v[4];
  if (std::strlen(text) != 8 || std::sscanf(text, "%2x%2x%2x%2x", &v[0], &v[1], &v[2], &v[3]) != 4)
    return false;
  for (int i = 0; i < 4; ++i) status[i] = static_cast<uint8_t>(v[i]);
  return true;
}

bool parseNumber(const std::string& text, unsigned long max, unsigned long& out, int base = 10) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = std::strtoul(text.c_str(), &end, base);
  return *end == 0 && out <= max;
}

// "NAME=VALUE" into its halves.
bool splitPair(const std::string& text, std::string& name, std::string& value) {
  const auto eq = text.find('=');
  if (eq == std::string::npos) return false;
  name = text.substr(0, eq);
  value = text.substr(eq + 1);
  return true;
}

// stdout and the --log file; the control socket's thread writes too.
class Output {
 public:
  bool open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "a");
    return file_ != nullptr;
  }
  ~Output() {
    if (file_) std::fclose(file_);
  }
  void line(const std::string& text) { write(text, true, true); }
  void screen(const std::string& text) { write(text, true, false); }
  void logOnly(const std::string& text) { write(text, false, true); }

 private:
  void write(const std::string& text, bool screen, bool log) {
    std::lock_guard lock(mutex_);
    if (screen) {
      std::printf("%s\n", text.c_str());
      std::fflush(stdout);
    }
    if (log && file_) {
      std::fprintf(file_, "%s\n", text.c_str());
      std::fflush(file_);
    }
  }

  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

std::string stampNow() { return formatTime(std::chrono::system_clock::now()); }

// The wall-clock time of a log entry taken on the steady clock.
std::chrono::system_clock::time_point wallClock(std::chrono::steady_clock::time_point when) {
  const auto age = std::chrono::steady_clock::now() - when;
  return std::chrono::system_clock::now() -
         std::chrono::duration_cast<std::chrono::system_clock::duration>(age);
}

const char* channelName(const LogEntry& e) {
  switch (e.channel) {
    case LogChannel::TcpPrinter:
      return e.fromPrinter ? "TCP printer <-" : "TCP printer ->";
    case LogChannel::TcpDisplay:
      return "TCP display ->";
    default:
      return e.fromPrinter ? "UDP <-" : "UDP ->";
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.address.clear();
  options.keepArrivals = false;  // the log is read incrementally instead
  PrinterState::Mac mac{};
  std::array<uint8_t, 4> status{};
  bool haveMac = false, haveStatus = false, hex = false, hold = false;
  std::optional<std::string> printerName;
  bool dhcp = false;
  bool noClearAck = false, refuseInterrupt = false, noDisplay = false;
  bool extendedInfo = false, slipIn = false, validationIn = false, removalWaiting = false;
  bool waitEnds = false, cueingError = false, cueingStalls = false, cleaningNoWait = false;
  uint8_t extErrors = 0;
  bool autoInsert = false, withholdJobEnds = false;
  std::optional<MicrResult> micrAuto;
  int powerOff = 0;  // 1 silent, 2 F000h
  Profile profile = Profile::Receipt;
  Faults faults;
  TcpMode tcpMode = TcpMode::Normal;
  JobIdMode jobIds = JobIdMode::Echo;
  ReplyShape shape;
  std::optional<Disconnect> disconnect;
  std::map<ReplyClass, std::chrono::milliseconds> replyDelays;
  std::map<uint32_t, UdpRule> udpRules;
  unsigned long speed = 0, battery = 80;
  std::string logPath;
  bool chineseBig5 = false;
  std::optional<uint16_t> controlPort;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    const auto value = [&]() -> std::string { return argv[++i]; };
    unsigned long number = 0;
    std::string name, text;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("printer-emulator %s\n", PRINTER_EMULATOR_VERSION);
      return 0;
    } else if (arg == "--address" && hasValue) {
      options.address = value();
    } else if ((arg == "--port-tcp" || arg == "--port-udp") && hasValue) {
      if (!parseNumber(value(), 65535, number) || number == 0) return usage("bad port");
      (arg == "--port-tcp" ? options.tcpPort : options.udpPort) = static_cast<uint16_t>(number);
    } else if (arg == "--profile" && hasValue) {
      const auto p = profileFromName(value());
      if (!p) return usage("unknown profile");
      profile = *p;
    } else if (arg == "--mac" && hasValue) {
      if (!parseMac(argv[++i], mac)) return usage("bad MAC address");
      haveMac = true;
    } else if (arg == "--name" && hasValue) {
      printerName = value();
    } else if (arg == "--dhcp") {
      dhcp = true;
    } else if (arg == "--status" && hasValue) {
      if (!parseStatus(argv[++i], status)) return usage("bad status bytes");
      haveStatus = true;
    } else if (arg == "--print-speed" && hasValue) {
      if (!parseNumber(value(), 100000000, speed)) return usage("bad print speed");
    } else if (arg == "--battery" && hasValue) {
      if (!parseNumber(value(), 100, battery)) return usage("bad battery level");
    } else if (arg == "--chinese-big5") {
      chineseBig5 = true;
    } else if (arg == "--control" && hasValue) {
      if (!parseNumber(value(), 65535, number) || number == 0) return usage("bad control port");
      controlPort = static_cast<uint16_t>(number);
    } else if (arg == "--cover-open") {
      faults.coverOpen = true;
    } else if (arg == "--near-end") {
      faults.nearEnd = true;
    } else if (arg == "--paper-end") {
      faults.paperEnd = true;
    } else if (arg == "--feed") {
      faults.feed = true;
    } else if (arg == "--panel-switch") {
      faults.panelSwitch = true;
    } else if (arg == "--offline") {
      faults.offline = true;
    } else if (arg == "--offline-reason") {
      faults.offlineReason = true;
    } else if (arg == "--auto-recoverable") {
      faults.autoRecoverable = true;
      faults.offlineReasons |= 0x02;
    } else if (arg == "--mechanical-error") {
      faults.mechanicalError = true;
    } else if (arg == "--autocutter-error") {
      faults.autocutterError = true;
    } else if (arg == "--unrecoverable-error") {
      faults.unrecoverableError = true;
    } else if (arg == "--withhold-job-ends") {
      withholdJobEnds = true;
    } else if (arg == "--power-off") {
      powerOff = 1;
    } else if (arg == "--power-off-f000") {
      powerOff = 2;
    } else if (arg == "--hold") {
      hold = true;
    } else if (arg == "--silent") {
      tcpMode = TcpMode::Silent;
    } else if (arg == "--tcp-mode" && hasValue) {
      text = value();
      if (text == "normal") {
        tcpMode = TcpMode::Normal;
      } else if (text == "silent") {
        tcpMode = TcpMode::Silent;
      } else if (text == "stalled") {
        tcpMode = TcpMode::Stalled;
      } else if (text == "close") {
        tcpMode = TcpMode::CloseOnAccept;
      } else if (text == "reset") {
        tcpMode = TcpMode::ResetOnAccept;
      } else {
        return usage("unknown TCP mode");
      }
    } else if (arg == "--no-clear-ack") {
      noClearAck = true;
    } else if (arg == "--refuse-interrupt") {
      refuseInterrupt = true;
    } else if (arg == "--job-ids" && hasValue) {
      text = value();
      if (text == "echo") {
        jobIds = JobIdMode::Echo;
      } else if (text == "ffff") {
        jobIds = JobIdMode::ReplaceFFFF;
      } else if (text == "abcd") {
        jobIds = JobIdMode::ReplaceABCD;
      } else if (text == "drop") {
        jobIds = JobIdMode::Drop;
      } else if (text == "swap") {
        jobIds = JobIdMode::OutOfOrder;
      } else if (text == "drop-first") {
        jobIds = JobIdMode::DropFirst;
      } else {
        return usage("unknown job id mode");
      }
    } else if (arg == "--reply-delay" && hasValue) {
      if (!splitPair(value(), name, text) || !parseNumber(text, 600000, number))
        return usage("--reply-delay takes CLASS=MS");
      const std::map<std::string, ReplyClass> classes{{"realtime", ReplyClass::Realtime},
                                                      {"asb", ReplyClass::Asb},
                                                      {"query", ReplyClass::Query},
                                                      {"jobend", ReplyClass::JobEnd}};
      if (!classes.count(name)) return usage("unknown reply class");
      replyDelays[classes.at(name)] = std::chrono::milliseconds(number);
    } else if (arg == "--udp-delay" && hasValue) {
      unsigned long command = 0;
      if (!splitPair(value(), name, text) || !parseNumber(name, 0xFFFFFFFF, command, 16) ||
          !parseNumber(text, 600000, number))
        return usage("--udp-delay takes CMD=MS, CMD in hex");
      udpRules[static_cast<uint32_t>(command)].delay = std::chrono::milliseconds(number);
    } else if (arg == "--udp-silent" && hasValue) {
      unsigned long command = 0;
      if (!parseNumber(value(), 0xFFFFFFFF, command, 16)) return usage("bad control command");
      udpRules[static_cast<uint32_t>(command)].silent = true;
    } else if (arg == "--split-replies") {
      shape.splitEachByte = true;
    } else if (arg == "--asb-between") {
      shape.asbBetweenBlocks = true;
    } else if (arg == "--junk") {
      shape.junk = true;
    } else if (arg == "--disconnect" && hasValue) {
      text = value();
      Disconnect d;
      const auto colon = text.find(':');
      if (colon == std::string::npos) return usage("--disconnect takes WHAT:N[:rst]");
      const std::string what = text.substr(0, colon);
      std::string rest = text.substr(colon + 1);
      if (rest.size() > 4 && rest.substr(rest.size() - 4) == ":rst") {
        d.reset = true;
        rest.resize(rest.size() - 4);
      }
      if (!parseNumber(rest, 0xFFFFFFFF, number)) return usage("bad --disconnect count");
      d.count = number;
      if (what == "bytes") {
        d.point = DisconnectPoint::AfterBytes;
      } else if (what == "job") {
        d.point = DisconnectPoint::AfterJobEnd;
      } else if (what == "polls") {
        d.point = DisconnectPoint::AfterRealtime;
      } else {
        return usage("--disconnect takes bytes, job or polls");
      }
      disconnect = d;
    } else if (arg == "--no-display") {
      noDisplay = true;
    } else if (arg == "--ext-error10") {
      extErrors |= 0x04;
    } else if (arg == "--ext-error11") {
      extErrors |= 0x08;
    } else if (arg == "--extended-info") {
      extendedInfo = true;
    } else if (arg == "--slip-in") {
      slipIn = true;
    } else if (arg == "--validation-in") {
      validationIn = true;
    } else if (arg == "--removal-waiting") {
      removalWaiting = true;
    } else if (arg == "--wait-ends") {
      waitEnds = true;
    } else if (arg == "--cueing-error") {
      cueingError = true;
    } else if (arg == "--cueing-stalls") {
      cueingStalls = true;
    } else if (arg == "--cleaning-no-wait") {
      cleaningNoWait = true;
    } else if (arg == "--auto-insert") {
      autoInsert = true;
    } else if (arg == "--micr-text" && hasValue) {
      text = value();
      for (char c : text) {
        if (static_cast<uint8_t>(c) < 0x20 || static_cast<uint8_t>(c) > 0x7E)
          return usage("--micr-text takes printable ASCII");
      }
      micrAuto = MicrResult{text, false, 0};
    } else if (arg == "--micr-error" && hasValue) {
      text = value();
      if (text.size() != 1 || text[0] < 'A' || text[0] > 'J')
        return usage("--micr-error takes a letter A..J");
      micrAuto = MicrResult{"", false, text[0]};
    } else if (arg == "--hex") {
      hex = true;
    } else if (arg == "--log" && hasValue) {
      logPath = value();
    } else {
      return usage("unknown or incomplete option " + arg);
    }
  }
  if (options.address.empty()) return usage("--address is required");

  Output out;
  if (!logPath.empty() && !out.open(logPath)) return usage("cannot open " + logPath);

  PrinterEmulator emulator(options);
  auto& state = emulator.state();
  state.setProfile(profile);
  if (haveMac) state.setMac(mac);
  if (printerName) state.setName(*printerName);
  state.setDhcp(dhcp);
  state.setFaults(faults);
  if (haveStatus) state.setAutomaticStatus(status);
  state.withModel([&](PrinterModel& m) {
    m.setPrintSpeed(static_cast<uint32_t>(speed));
    m.setHoldPrinting(hold);
    m.setClearAcknowledged(!noClearAck);
    m.setInterruptRefused(refuseInterrupt);
    m.setJobIdMode(jobIds);
    m.setBattery(static_cast<uint8_t>(battery));
    m.setDisplayConnected(!noDisplay);
    m.setExtendedStatus(extErrors);
    m.setExtendedInfo(extendedInfo);
    m.setSheetInserted(SheetPath::Slip, slipIn);
    m.setSheetInserted(SheetPath::Validation, validationIn);
    m.setRemovalWaiting(removalWaiting);
    m.setInsertionAutoEnd(waitEnds);
    m.setCueingError(cueingError);
    m.setCueingStalls(cueingStalls);
    m.setCleaningNeverWaits(cleaningNoWait);
    m.setAutoInsert(autoInsert);
    m.setMicrAutoResult(micrAuto);
    m.setJobEndsWithheld(withholdJobEnds);
    m.setChineseBig5(chineseBig5);
  });
  if (powerOff) state.setPowerOff(true, powerOff == 2);
  emulator.setTcpMode(tcpMode);
  emulator.setReplyShape(shape);
  for (const auto& [replyClass, delay] : replyDelays) emulator.setReplyDelay(replyClass, delay);
  for (const auto& [command, rule] : udpRules) emulator.setUdpRule('Q', command, rule);
  for (const auto& [command, rule] : udpRules) emulator.setUdpRule('C', command, rule);
  if (disconnect) emulator.scheduleDisconnect(*disconnect);

  std::string error;
  if (!emulator.start(&error)) {
    std::fprintf(stderr, "printer-emulator: %s\n", error.c_str());
    return 1;
  }
  ControlCommands commands(emulator);
  // A command from the socket is answered there; stdout and the log record it.
  ControlPort control([&](const std::string& line) {
    const std::string answer = commands.execute(line);
    if (!answer.empty()) out.line(stampNow() + " [control] " + line + ": " + answer);
    return answer;
  });
  if (controlPort && !control.start(options.address, *controlPort, &error)) {
    std::fprintf(stderr, "printer-emulator: %s\n", error.c_str());
    return 1;
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  // Started in the background of a terminal, reading stdin must not stop the
  // program: the read fails instead, and stdin is left alone from then on.
  std::signal(SIGTTIN, SIG_IGN);
  char banner[200];
  std::snprintf(banner, sizeof banner, "printer-emulator on %s: TCP %u, UDP %u, profile %s",
                options.address.c_str(), options.tcpPort, options.udpPort, profileName(profile));
  std::string bannerLine = banner;
  if (controlPort) bannerLine += ", control " + std::to_string(*controlPort);
  out.line(bannerLine);

  // Commands on stdin until it ends; the printer runs on without it (scripts
  // and CI start the program with no stdin at all).
  bool stdinOpen = true;
  std::string typed;
  const auto runTyped = [&](const std::string& line) {
    const std::string answer = commands.execute(line);
    if (answer.empty()) return;
    out.screen(answer);
    out.logOnly(stampNow() + " [control] " + line + ": " + answer);
  };
  uint64_t cursor = 0;
  while (!g_stop) {
    if (stdinOpen) {
      const int ready = tilo2::core::PollWait(STDIN_FILENO, POLLIN, 100);
      char buffer[512];
      const ssize_t n = ready > 0 ? ::read(STDIN_FILENO, buffer, sizeof buffer) : 0;
      if (ready < 0 || (ready > 0 && n == 0) || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        stdinOpen = false;
        if (!typed.empty()) runTyped(std::exchange(typed, {}));
      } else if (n > 0) {
        typed.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = typed.find('\n')) != std::string::npos;) {
          const std::string line = typed.substr(0, end);
          typed.erase(0, end + 1);
          runTyped(line);
        }
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (hex) {
      // The bytes, and the connections and power switch they do not show, in time order.
      std::vector<std::pair<std::chrono::system_clock::time_point, std::string>> lines;
      for (const auto& e : emulator.readLog(cursor)) {
        lines.emplace_back(wallClock(e.when), std::string(channelName(e)) + " " +
                                                  std::to_string(e.bytes.size()) +
                                                  " bytes: " + hexBytes(e.bytes));
      }
      for (const auto& e : emulator.takeTranscript()) {
        if (e.kind == ModelEvent::Kind::Link) lines.emplace_back(e.when, formatEvent(e));
      }
      std::stable_sort(lines.begin(), lines.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      for (const auto& [when, text] : lines) out.line(formatTime(when) + " " + text);
    } else {
      for (const auto& e : emulator.takeTranscript()) {
        // ESC @ opens every job the SDK sends: a rule makes the jobs easy to tell apart.
        if (e.kind == ModelEvent::Kind::Command && e.label == "[init]") out.line("---- job ----");
        out.line(formatTime(e.when) + " " + formatEvent(e));
      }
    }
  }
  control.stop();
  emulator.stop();
  return 0;
}
