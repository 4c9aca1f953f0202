#pragma once
// What the runtime layer knows of each public enumeration, expanded from the
// enumeration's one list (see orvik/tilo2/enum_list.h): its member names, its
// full type name and its table of {public value, core value} pairs.

#include <cstdint>
#include <span>
#include <string_view>

#include "orvik/tilo2/enum_list.h"

namespace tilo2::core {

// One row of a pair table. Lookups scan the rows in order and take the first match.
struct CodePair {
  int32_t publicValue;
  int32_t coreValue;
};

struct EnumMember {
  int32_t value;
  std::string_view name;
};

// Specialised for each enumeration with TILO2_DEFINE_ENUM_INFO.
template <class E>
struct EnumInfo;

#define TILO2_ENUM_NAME_ENTRY(name, value, coreValue) ::tilo2::core::EnumMember{value, #name},
#define TILO2_ENUM_PAIR_ENTRY(name, value, coreValue) ::tilo2::core::CodePair{value, coreValue},
#define TILO2_ENUM_PAIR_ROW(value, coreValue) ::tilo2::core::CodePair{value, coreValue},

// Used in namespace tilo2::core: Type is the enumeration, typeName its full
// runtime type name, LIST its list macro.
#define TILO2_DEFINE_ENUM_INFO(Type, typeName, LIST)                                           \
  template <>                                                                                  \
  struct EnumInfo<Type> {                                                                      \
    static constexpr std::string_view kTypeName = typeName;                                    \
    static constexpr EnumMember kMembers[] = {LIST(TILO2_ENUM_NAME_ENTRY, TILO2_ENUM_NO_ROW)}; \
    static constexpr CodePair kPairs[] = {LIST(TILO2_ENUM_PAIR_ENTRY, TILO2_ENUM_PAIR_ROW)};   \
  }

// The member's name, or the enumeration's type name for a value without a member
// (the string form a log line shows).
template <class E>
constexpr std::string_view EnumText(E value) {
  for (const EnumMember& member : EnumInfo<E>::kMembers) {
    if (member.value == static_cast<int32_t>(value)) return member.name;
  }
  return EnumInfo<E>::kTypeName;
}

// The enumeration's pair table.
template <class E>
constexpr std::span<const CodePair> PairTable() {
  return EnumInfo<E>::kPairs;
}

}  // namespace tilo2::core
