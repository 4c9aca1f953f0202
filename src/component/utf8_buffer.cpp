#include "component/utf8_buffer.h"

#include <cstring>
#include <string>

namespace tilo2::core::CommonUtils {

using ::Orvik::Tilo::Tilo2::String;

std::shared_ptr<char[]> ToUtf8(const String& text) {
  const std::string utf8 = text.utf8();
  auto buffer = std::make_shared<char[]>(utf8.size() + 1);  // value-initialised: zeroed
  std::memcpy(buffer.get(), utf8.data(), utf8.size());
  return buffer;
}

String FromUtf8(const char* text) { return String(text); }

}  // namespace tilo2::core::CommonUtils
