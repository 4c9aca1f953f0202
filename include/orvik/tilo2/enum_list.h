#pragma once
// Each public enumeration comes from one list macro, NAME_LIST(MEMBER, ROW):
// MEMBER(name, value, coreValue) is a member with the core value it maps to
// first, ROW(value, coreValue) one more core value that maps to a member. The
// enumeration, its member names, its full type name and its table of
// {value, coreValue} pairs all expand from that one list, so they cannot drift
// apart.
// Threads, handlers and what a handler may call: docs/threading.md.

// Expands a list into the members of an enum class.
#define TILO2_ENUM_MEMBER(name, value, coreValue) name = value,
#define TILO2_ENUM_NO_ROW(value, coreValue)
