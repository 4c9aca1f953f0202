// Connection target parser: the input, cut at its first NUL, is parsed as a
// target. Oracle: the answer is 0, 1 or 10; a parsed target names the first
// prefix found in search order, its address is the text after the prefix's
// colon and its blanks up to the first "[", the device id is what stands
// between that "[" and the next "]" and holds only the characters an id may
// hold; the port text maps to a port type; a second parse agrees.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device/target.h"
#include "fuzz_input.h"

using namespace tilo2::core;

namespace {

bool IdCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));

  TdcTarget_t* target = nullptr;
  const int rc = TdcParseTarget(text.c_str(), &target);
  FUZZ_CHECK(rc == 0 || rc == 1 || rc == 10);
  if (rc != 0) {
    FUZZ_CHECK(target == nullptr);
    return 0;
  }
  FUZZ_CHECK(target != nullptr && target->portText != nullptr && target->address != nullptr);

  // The first prefix found in search order wins, at its first occurrence.
  static const char* const kPrefixes[] = {"TCPS", "TCP", "BT", "USB"};
  size_t at = std::string::npos;
  const char* expected = nullptr;
  for (const char* prefix : kPrefixes) {
    at = text.find(std::string(prefix) + ":");
    if (at != std::string::npos) {
      expected = prefix;
      break;
    }
  }
  FUZZ_CHECK(expected != nullptr);
  FUZZ_CHECK(std::strcmp(target->portText, expected) == 0);

  size_t pos = at + std::strlen(expected) + 1;
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
  const size_t open = text.find('[', pos);
  FUZZ_CHECK(text.compare(pos, open == std::string::npos ? std::string::npos : open - pos,
                          target->address) == 0);
  if (open == std::string::npos) {
    FUZZ_CHECK(target->deviceId == nullptr);
  } else {
    FUZZ_CHECK(target->deviceId != nullptr);
    const size_t close = text.find(']', open + 1);
    FUZZ_CHECK(close != std::string::npos);
    FUZZ_CHECK(text.compare(open + 1, close - open - 1, target->deviceId) == 0);
    for (const char* c = target->deviceId; *c != '\0'; ++c) FUZZ_CHECK(IdCharacter(*c));
    FUZZ_CHECK(TdcCheckDeviceId(target->deviceId) == 0);
  }

  int32_t portType = 0;
  FUZZ_CHECK(TdcGetPortType(target->portText, &portType) == 0);
  FUZZ_CHECK(portType >= 1 && portType <= 4);

  TdcTarget_t* again = nullptr;
  FUZZ_CHECK(TdcParseTarget(text.c_str(), &again) == 0);
  FUZZ_CHECK(std::strcmp(again->address, target->address) == 0);
  FUZZ_CHECK((again->deviceId == nullptr) == (target->deviceId == nullptr));
  TdcFreeTarget(again);
  TdcFreeTarget(target);
  return 0;
}
