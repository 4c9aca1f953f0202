#include "transcript.h"

#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>

#include "encoding/codepage/embedded_file.h"

namespace printer_emulator {

namespace {

// Character code tables by their ESC t number (the numbers the library's
// code-page converter sends), as iconv names them; 0 where iconv has none.
int pageNumber(uint8_t page) {
  static const std::pair<uint8_t, int> kPages[] = {
      {0, 437},   {2, 850},   {3, 860},   {4, 863},   {5, 865},   {11, 851},
      {12, 853},  {13, 857},  {14, 737},  {16, 1252}, {17, 866},  {18, 852},
      {19, 858},  {32, 720},  {33, 775},  {34, 855},  {35, 861},  {36, 862},
      {37, 864},  {38, 869},  {41, 1098}, {44, 1125}, {45, 1250}, {46, 1251},
      {47, 1253}, {48, 1254}, {49, 1255}, {50, 1256}, {51, 1257}, {52, 1258}};
  for (const auto& [number, codePage] : kPages) {
    if (number == page) return codePage;
  }
  return 0;
}

// The library's own table of the page ("0xD5\t0x20AC\t#" lines): it holds
// the printer's variants (the euro sign in page 857, say) that iconv lacks.
// Empty when the library has no table for the page.
std::map<uint8_t, uint32_t> libraryTable(int codePage) {
  std::map<uint8_t, uint32_t> table;
  const std::string name = "cp" + std::to_string(codePage) + ".txt";
  const auto* row = tilo2::core::EmbeddedFileFind(name.c_str());
  if (!row) return table;
  const std::string data(row->data, row->size);
  size_t at = 0;
  while (at < data.size()) {
    size_t end = data.find('\n', at);
    if (end == std::string::npos) end = data.size();
    const std::string line = data.substr(at, end - at);
    at = end + 1;
    unsigned byte = 0, code = 0;
    if (std::sscanf(line.c_str(), "0x%x 0x%x", &byte, &code) == 2 && byte < 256) {
      table[static_cast<uint8_t>(byte)] = code;
    }
  }
  return table;
}

void appendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string escaped(uint8_t c) {
  char part[8];
  std::snprintf(part, sizeof part, "\\x%02X", c);
  return part;
}

// One byte of the page as UTF-8, or empty when the page has no such character.
std::string decodeByte(iconv_t cd, uint8_t c) {
  char in[1] = {static_cast<char>(c)};
  char out[8];
  char* inPtr = in;
  char* outPtr = out;
  size_t inLeft = 1, outLeft = sizeof out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) return {};
  return std::string(out, outPtr);
}

// Bytes in the character of a double-byte encoding that starts with lead
// (80h and above); 1 for a character of one byte.
size_t characterLength(DoubleByte coding, std::span<const uint8_t> rest) {
  const uint8_t lead = rest[0];
  switch (coding) {
    case DoubleByte::ShiftJis:
      return (lead >= 0xA1 && lead <= 0xDF) ? 1 : 2;  // half-width katakana take one
    case DoubleByte::Gb18030:
      // Four-byte forms have a digit as their second byte.
      return rest.size() > 1 && rest[1] >= 0x30 && rest[1] <= 0x39 ? 4 : 2;
    default:
      return 2;
  }
}

const char* iconvName(DoubleByte coding) {
  switch (coding) {
    case DoubleByte::ShiftJis:
      return "CP932";
    case DoubleByte::Gb18030:
      return "GB18030";
    case DoubleByte::Big5:
      return "CP950";
    case DoubleByte::Uhc:
      return "CP949";
    default:
      return nullptr;
  }
}

// Characters as iconv reads them, UTF-8; empty when it cannot.
std::string convert(iconv_t cd, std::span<const uint8_t> bytes) {
  std::string in(bytes.begin(), bytes.end());
  char out[16];
  char* inPtr = in.data();
  char* outPtr = out;
  size_t inLeft = in.size(), outLeft = sizeof out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) {
    return {};
  }
  return std::string(out, outPtr);
}

void appendAscii(std::string& out, uint8_t c) {
  if (c < 0x20 && c != '\t') {
    out += escaped(c);
  } else {
    out += static_cast<char>(c);
  }
}

std::string decodeDoubleByte(std::span<const uint8_t> text, DoubleByte coding) {
  iconv_t cd = iconv_open("UTF-8", iconvName(coding));
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const uint8_t c = text[i];
    if (c < 0x80) {
      appendAscii(out, c);
      ++i;
      continue;
    }
    const size_t length = characterLength(coding, text.subspan(i));
    std::string decoded;
    if (cd != reinterpret_cast<iconv_t>(-1) && i + length <= text.size()) {
      decoded = convert(cd, text.subspan(i, length));
    }
    if (decoded.empty()) {
      out += escaped(c);
      ++i;
    } else {
      out += decoded;
      i += length;
    }
  }
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  return out;
}

}  // namespace

std::string decodeText(std::span<const uint8_t> text, std::span<const CodingRun> runs) {
  if (runs.empty()) return decodeText(text, uint8_t{0});
  std::string out;
  for (size_t r = 0; r < runs.size(); ++r) {
    const size_t from = std::min(runs[r].at, text.size());
    const size_t to = r + 1 < runs.size() ? std::min(runs[r + 1].at, text.size()) : text.size();
    if (to <= from) continue;
    const auto part = text.subspan(from, to - from);
    const TextCoding& coding = runs[r].coding;
    out += coding.doubleByte == DoubleByte::None ? decodeText(part, coding.codePage)
                                                 : decodeDoubleByte(part, coding.doubleByte);
  }
  return out;
}

std::string decodeText(std::span<const uint8_t> text, uint8_t codePage) {
  const int number = pageNumber(codePage);
  const auto table = number ? libraryTable(number) : std::map<uint8_t, uint32_t>{};
  char name[16];
  std::snprintf(name, sizeof name, "CP%d", number);
  iconv_t cd = number ? iconv_open("UTF-8", name) : reinterpret_cast<iconv_t>(-1);
  std::string out;
  for (uint8_t c : text) {
    if (c < 0x80) {
      appendAscii(out, c);
      continue;
    }
    const auto mapped = table.find(c);
    if (mapped != table.end() && mapped->second != 0) {
      appendUtf8(out, mapped->second);
      continue;
    }
    std::string decoded = cd != reinterpret_cast<iconv_t>(-1) ? decodeByte(cd, c) : std::string();
    out += decoded.empty() ? escaped(c) : decoded;
  }
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  return out;
}

std::string hexBytes(std::span<const uint8_t> bytes) {
  std::string s;
  char part[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(part, sizeof part, i ? " %02X" : "%02X", bytes[i]);
    s += part;
  }
  return s;
}

std::string formatEvent(const ModelEvent& event) {
  std::string line = event.route == Route::Display ? "display: " : "";
  switch (event.kind) {
    case ModelEvent::Kind::Text:
      return line + (event.runs.empty() ? decodeText(event.text, event.codePage)
                                        : decodeText(event.text, event.runs));
    case ModelEvent::Kind::Command:
    case ModelEvent::Kind::Link:
      return line + event.label;
    case ModelEvent::Kind::Reply: {
      std::string what = event.label;
      if (what.size() >= 2 && what.front() == '[') what = what.substr(1, what.size() - 2);
      if (what == "job end" && event.text.size() == 7) {
        what += " \"" + std::string(event.text.begin() + 2, event.text.end() - 1) + "\"";
      }
      if (what == "MICR text" && event.text.size() >= 6) {
        // What the reader saw, undoing the 7Eh - b form the status byte announces.
        std::string read;
        for (size_t i = 5; i + 1 < event.text.size(); ++i) {
          const uint8_t b = event.text[i];
          read += static_cast<char>((event.text[2] & 0x04) ? 0x7E - b : b);
        }
        what += " \"" + read + "\"";
      }
      return "-> " + what + ": " + hexBytes(event.text);
    }
  }
  return line;
}

std::string formatTime(std::chrono::system_clock::time_point when) {
  const auto since = when.time_since_epoch();
  const std::time_t seconds =
      static_cast<std::time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis < 0 ? millis + 1000 : millis));
  return text;
}

}  // namespace printer_emulator
