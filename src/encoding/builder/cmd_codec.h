#pragma once
// Text encoding for the command builders: the code-page converter for
// single-byte languages and the double-byte encoders for Japanese, Chinese
// and Korean, reached through one seam so tests can put a scripted converter
// in place.

#include <cstddef>
#include <cstdint>

#include "encoding/builder/cmd_buffer.h"

namespace tilo2::core {

struct CmdConverterOps {
  int (*open)(const char* name, int length);  // handle >= 1, or a negative code
  int (*close)(int handle);
  int (*setEncodeType)(int handle);  // input becomes UTF-8
  int (*setData)(int handle, const uint8_t* data, uint32_t length);
  // Size query with buffer null and *size 0 answers -40 with the size needed.
  int (*getOutput)(int handle, uint8_t* buffer, uint32_t* size);
};

struct CmdDbcsOps {
  // (kind, utf8, length, out or null, capacity) -> bytes produced
  int (*mbEncode)(int kind, const char* utf8, size_t length, char* out, size_t capacity);
  // (utf8, length, out or null, capacity) -> bytes produced
  int (*kanji)(const char* utf8, size_t length, char* out, size_t capacity);
};

// The converter and encoders in use (tests swap them: encoding/test_hooks.h).
const CmdConverterOps& CmdConverter();
const CmdDbcsOps& CmdDbcs();

// Converts utf8 through an open converter into a new std::malloc block.
// 0 with *out and *outSize (null and 0 when nothing came out); -1 when there
// is no converter or it refuses the text (nothing of the text stays in the
// converter); 3 when memory runs out.
int CmdConvertText(int converter, const char* utf8, size_t length, uint8_t** out, int* outSize);

// Double-byte text for language 1 (Japanese), 2 (Chinese), 3 (Taiwan) or
// 4 (Korean) into a new std::malloc block; 0 with *out null and *outSize 0
// when the text encodes to nothing; -1 when the encoder cannot take it
// (too long for its count); 3 when memory runs out.
int CmdEncodeDbcs(int language, const char* utf8, size_t length, uint8_t** out, int* outSize);

// True for the languages whose text goes through the double-byte encoders.
bool CmdIsDbcsLanguage(int language);

// Text in a builder's text language: the double-byte encoders for their
// languages, the converter for any other. Results as above.
int CmdEncodeText(int language, int converter, const char* utf8, size_t length, uint8_t** out,
                  int* outSize);

// Encodes a NUL-terminated text with CmdEncodeText and appends it to the
// buffer's body as one chunk; an empty text appends nothing. 0, 1 for a null
// argument, or the encoder's or the append's failure.
int CmdAppendText(CmdBuffer_t* buffer, int language, int converter, const char* utf8);

// Opens the converter file "<model>_<suffix>.txt" (suffix by language: 1 jpn,
// 2 sc, 3 tc, 4 ko, 6 sa, any other ank). Negative: no converter.
int16_t OpenModelConverter(const char* modelName, int modelLang);

}  // namespace tilo2::core
