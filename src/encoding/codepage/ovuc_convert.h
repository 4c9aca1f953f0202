// One converter handle's state and the three-pass conversion of a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "encoding/codepage/ovuc_model.h"
#include "encoding/codepage/ovuc_output.h"
#include "encoding/codepage/ovuc_settings.h"

namespace tilo2::core {

// Encode types of the input text.
enum OvucEncodeType : int {
  kOvucUtf16Bom = 0,  // byte-order mark decides; none means big-endian
  kOvucUtf16Be = 1,
  kOvucUtf16Le = 2,
  kOvucUtf8 = 3,
};

// Input limits: only this many bytes of a text are converted (-500 beyond).
inline constexpr size_t kOvucMaxUtf16Input = 4194304;
inline constexpr size_t kOvucMaxUtf8Input = 8388608;
// Code point slots a handle keeps between texts; a longer text's list is
// given back, since a builder holds its handle for as long as it lives.
inline constexpr size_t kOvucKeptCodePoints = 16384;

struct OvucHandleState {
  OvucSettings settings;
  std::shared_ptr<const OvucModel> model;  // shared by every handle of the model
  int encodeType = kOvucUtf8;
  uint8_t currentTable = 0;  // parameter of the last table switch
  // Set when a text failed: its output must not reach the next text.
  bool failedTextPending = false;
  OvucOutput output;
  // Reused between texts so that converting does not allocate per call.
  std::vector<uint32_t> codePoints;
  std::vector<uint32_t> marks;
};

// Converts a text and appends its bytes and switches to the handle's output.
// 0, a warning (-400, -410, -420, -500) with the complete output, or an error
// (-60, -510) with the output produced so far.
int16_t OvucConvert(OvucHandleState& h, const uint8_t* data, size_t length);

}  // namespace tilo2::core
