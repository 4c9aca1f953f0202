#include "service/json_reader.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

namespace tilo2::core {
namespace {

using nlohmann::json;

// Strict parse without exceptions: malformed text gives a discarded value.
// A key repeated within one object keeps its first value.
json ParseStrict(const char* text, size_t length) {
  if (!text) return json(json::value_t::discarded);
  std::vector<std::set<std::string>> keys;  // of each open object
  const json::parser_callback_t firstKeyWins = [&keys](int, json::parse_event_t event,
                                                       json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
        keys.emplace_back();
        return true;
      case json::parse_event_t::object_end:
        if (!keys.empty()) keys.pop_back();
        return true;
      case json::parse_event_t::key:
        return keys.empty() || keys.back().insert(parsed.get<std::string>()).second;
      default:
        return true;
    }
  };
  return json::parse(text, text + length, firstKeyWins, /*allow_exceptions=*/false);
}

const std::string* StringMember(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

// A port the service gave: a number within int32, fractions cut off; else 0.
int32_t PortMember(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) return 0;
  if (it->is_number_integer()) {
    if (it->is_number_unsigned()) {
      const auto value = it->get<uint64_t>();
      return value <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                 ? static_cast<int32_t>(value)
                 : 0;
    }
    const auto value = it->get<int64_t>();
    return value >= std::numeric_limits<int32_t>::min() &&
                   value <= std::numeric_limits<int32_t>::max()
               ? static_cast<int32_t>(value)
               : 0;
  }
  if (it->is_number_float()) {
    const double value = std::trunc(it->get<double>());
    return std::isfinite(value) && value >= std::numeric_limits<int32_t>::min() &&
                   value <= std::numeric_limits<int32_t>::max()
               ? static_cast<int32_t>(value)
               : 0;
  }
  return 0;
}

std::optional<TdevDeviceRecord_t> DeviceRecord(const json& item) {
  if (!item.is_object()) return std::nullopt;
  const std::string* id = StringMember(item, "deviceId");
  const std::string* type = StringMember(item, "deviceType");
  if (!id || !type) return std::nullopt;
  TdevDeviceRecord_t record{*type, *id, std::nullopt};
  if (const std::string* model = StringMember(item, "modelName")) record.modelName = *model;
  return record;
}

}  // namespace

std::optional<std::vector<TdevDeviceRecord_t>> TdevParseDeviceList(const char* text,
                                                                   size_t length) {
  const json root = ParseStrict(text, length);
  std::vector<TdevDeviceRecord_t> records;
  if (root.is_object()) {
    auto record = DeviceRecord(root);
    if (!record) return std::nullopt;
    records.push_back(std::move(*record));
    return records;
  }
  if (!root.is_array()) return std::nullopt;
  records.reserve(root.size());
  for (const json& item : root) {
    auto record = DeviceRecord(item);
    if (!record) return std::nullopt;
    records.push_back(std::move(*record));
  }
  return records;
}

std::optional<TdevPortList_t> TdevParsePortList(const char* text, size_t length) {
  const json root = ParseStrict(text, length);
  if (!root.is_object()) return std::nullopt;
  return TdevPortList_t{PortMember(root, "NativeSocket"), PortMember(root, "SSLNativeSocket")};
}

std::optional<std::array<uint8_t, 3>> TdevParseSystemVersion(const char* text, size_t length) {
  const json root = ParseStrict(text, length);
  if (!root.is_object()) return std::nullopt;
  std::array<uint8_t, 3> units{0, 0, 0};
  const auto services = root.find("Services");
  if (services == root.end() || !services->is_array()) return units;
  static constexpr const char* kUnits[3] = {"EndorsementUnit", "ValidationUnit", "MICRUnit"};
  for (const json& item : *services) {
    if (!item.is_object()) continue;
    for (size_t i = 0; i < units.size(); ++i) {
      // Exactly "1": an empty or longer text is no unit.
      if (const std::string* flag = StringMember(item, kUnits[i])) units[i] = *flag == "1" ? 1 : 0;
    }
  }
  return units;
}

}  // namespace tilo2::core
