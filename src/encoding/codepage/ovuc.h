// Code-page converter: turns Unicode text into the single-byte code tables and
// international character sets of one device model, inserting the ESC t n and
// ESC R n switches the device needs. All data is compiled into the library.
//
// Typical use by a text generator:
//   h = ConverterOpen("RP-S12E_ank.txt", len);        // once per builder
//   OvucSetEncodeType(h);                               // input is UTF-8
//   rc = OvucSetData(h, text, textLen);                 // < 0: text failed
//   size = 0; OvucGetOutputData(h, nullptr, &size);     // -40 with the size
//   OvucGetOutputData(h, buf, &size);                   // 0, chains emptied
//   OvucCloseHandle(h);                                 // with the builder
#pragma once

#include <cstddef>
#include <cstdint>

namespace tilo2::core {

// 1..MaximumHandle for an open converter; a negative value is a result code.
using OvucHandle = int16_t;

// Result codes (callers test the sign).
inline constexpr int16_t OVUC_OK = 0;
inline constexpr int16_t OVUC_ERR_HANDLE = -10;
inline constexpr int16_t OVUC_ERR_ARGUMENT = -20;
inline constexpr int16_t OVUC_ERR_READER = -30;
inline constexpr int16_t OVUC_ERR_BUFFER_SMALL = -40;
inline constexpr int16_t OVUC_ERR_NO_SLOT = -50;
inline constexpr int16_t OVUC_ERR_MEMORY = -60;
inline constexpr int16_t OVUC_ERR_SETTINGS_MISSING = -100;
inline constexpr int16_t OVUC_ERR_SETTINGS_INVALID = -110;
inline constexpr int16_t OVUC_ERR_MODEL_MISSING = -200;
inline constexpr int16_t OVUC_ERR_MODEL_INVALID = -210;
inline constexpr int16_t OVUC_ERR_TABLE_MISSING = -300;
inline constexpr int16_t OVUC_ERR_ICS_MISSING = -310;
inline constexpr int16_t OVUC_ERR_UNICODE_MISSING = -320;
inline constexpr int16_t OVUC_ERR_TABLE_LINE = -330;
inline constexpr int16_t OVUC_ERR_ICS_LINE = -340;
inline constexpr int16_t OVUC_WARN_ODD_LENGTH = -400;
inline constexpr int16_t OVUC_WARN_SURROGATE = -410;
inline constexpr int16_t OVUC_WARN_BAD_UTF8 = -420;
inline constexpr int16_t OVUC_WARN_TOO_LONG = -500;
inline constexpr int16_t OVUC_ERR_OUTPUT_FULL = -510;

// Opens a converter on a model file such as "RP-S12E_ank.txt". Control
// characters and bytes 0x80 and above are dropped from the name; a null or
// empty name, or one of 128 characters or more, answers -20.
OvucHandle ConverterOpen(const char* name, size_t length);

// Opens a converter on a model file with the given module file name ("rpi").
OvucHandle OvucOpenHandle(const char* modelFileName, size_t length, const char* moduleName);

// 0, or -10 for a handle that is not open.
int16_t OvucCloseHandle(OvucHandle handle);

// Makes the handle read its input as UTF-8. 0 or -10.
int16_t OvucSetEncodeType(OvucHandle handle);

// Converts a piece of text and appends it to the handle's pending output.
// 0 on success; warnings -400, -410, -420, -500 (the output is complete);
// errors -20 (null or empty data), -60, -510 (the output so far), -10.
// After a text that was converted with a negative answer the pending output
// can still be fetched by the next OvucGetOutputData, but the next OvucSetData
// discards it first, so a caller that drops a failed text never sees its bytes
// in a later one. A refused argument (-20) converts nothing and leaves the
// pending output alone.
int16_t OvucSetData(OvucHandle handle, const char* data, size_t length);

// Fetches the pending output with its ESC t / ESC R switches.
// *size in: buffer capacity; out: bytes needed (= written on success).
// 0 and the output is written and emptied; -40 when the buffer is too small
// (nothing changes but *size); -20 for a null size, or a null buffer with a
// nonzero *size; -10 for a bad handle.
int16_t OvucGetOutputData(OvucHandle handle, uint8_t* buffer, size_t* size);

}  // namespace tilo2::core
