#include "component/result_codes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string_view>

#include "orvik/tilo2/error_status.h"

using namespace tilo2::core;
using namespace Orvik::Tilo::Tilo2;

namespace {

constexpr int32_t Hr(uint32_t code) { return static_cast<int32_t>(code); }

// The HRESULT `call` throws as a RuntimeException, or 0 when it returns.
int32_t ThrownHResult(const std::function<void()>& call) {
  try {
    call();
  } catch (const RuntimeException& e) {
    return e.HResult();
  }
  return 0;
}

TEST(ResultCodesTest, ErrorStatusValues) {
  EXPECT_EQ(ErrorStatus::ErrParameter, Hr(0xA0048200u));
  EXPECT_EQ(ErrorStatus::ErrTypeInvalid, Hr(0xA0048208u));
  EXPECT_EQ(ErrorStatus::ErrUnsupported, Hr(0xA004820Eu));
  EXPECT_EQ(ErrorStatus::ErrFailure, Hr(0xA004820Fu));
  EXPECT_EQ(ErrorStatus::ErrReserved, Hr(0xA0048210u));
}

TEST(ResultCodesTest, ToHResult) {
  const struct {
    ErrorNumber number;
    uint32_t hresult;
  } cases[] = {{1, 0xA0048200u},  {2, 0xA0048201u},         {15, 0xA004820Eu},
               {16, 0xA004820Fu}, {0, 0xA004820Fu},         {17, 0xA004820Fu},
               {-1, 0xA004820Fu}, {INT32_MIN, 0xA004820Fu}, {INT32_MAX, 0xA004820Fu}};
  for (const auto& c : cases) {
    EXPECT_EQ(CommonUtils::ToHResult(c.number), Hr(c.hresult)) << "error number " << c.number;
    EXPECT_EQ(CommonUtils::MakeException(c.number).HResult(), Hr(c.hresult));
  }
}

// A device-API result raises the ErrorStatus of its row; one without a row
// raises ErrParameter from the lookup itself.
TEST(ResultCodesTest, DeviceResultsRaiseTheirErrorStatus) {
  const struct {
    int32_t tdcResult;
    int32_t hresult;
  } cases[] = {
      {0, 0},
      {1, ErrorStatus::ErrParameter},
      {7, ErrorStatus::ErrTypeInvalid},
      {2, ErrorStatus::ErrProcessing},
      {3, ErrorStatus::ErrConnect},
      {10, ErrorStatus::ErrMemory},
      {28, ErrorStatus::ErrUnsupported},
      {255, ErrorStatus::ErrFailure},
      {11, ErrorStatus::ErrParameter},
      {29, ErrorStatus::ErrParameter},
      {-1, ErrorStatus::ErrParameter},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ThrownHResult([&] { CommonUtils::ThrowIfFailed(c.tdcResult); }), c.hresult)
        << "device result " << c.tdcResult;
  }
}

TEST(ResultCodesTest, ErrorCodeTableMapsEveryErrorNumberToItsOwnStatus) {
  // Each device result of the table raises the ErrorStatus of its error number.
  for (const CodePair& row : ErrorCodeTable) {
    if (row.publicValue == 0) continue;
    EXPECT_EQ(ThrownHResult([&] { CommonUtils::ThrowIfFailed(row.coreValue); }),
              ErrorStatus::ErrParameter + row.publicValue - 1)
        << "device result " << row.coreValue;
  }
}

TEST(ResultCodesTest, CallbackCodes) {
  const struct {
    int32_t core;
    CallbackCode code;
  } cases[] = {{0, CallbackCode::Success},
               {13, CallbackCode::Printing},
               {33, CallbackCode::ErrorDeviceBusy},
               {255, CallbackCode::ErrorFailure},
               {-3, CallbackCode::ErrorFailure}};
  for (const auto& c : cases) {
    EXPECT_EQ(CommonUtils::ToCallbackCode(c.core), c.code) << "core code " << c.core;
  }
  for (int32_t missing : {34, -1, -2, 254, 256}) {
    EXPECT_EQ(ThrownHResult([&] { CommonUtils::ToCallbackCode(missing); }),
              ErrorStatus::ErrParameter)
        << "core code " << missing;
  }
  EXPECT_EQ(CallbackCodeTable.size(), 36u);
  EXPECT_EQ(static_cast<int32_t>(CallbackCode::ErrorFailure), 34);
}

TEST(ResultCodesTest, EnumerationTextIsTheMemberNameOrTheTypeName) {
  EXPECT_EQ(EnumText(CallbackCode::Success), "Success");
  EXPECT_EQ(EnumText(CallbackCode::ErrorRequestEntityTooLarge), "ErrorRequestEntityTooLarge");
  EXPECT_EQ(EnumText(CallbackCode::ErrorFailure), "ErrorFailure");
  EXPECT_EQ(EnumText(static_cast<CallbackCode>(35)), "Orvik.Tilo.Tilo2.CallbackCode");
  EXPECT_EQ(EnumText(static_cast<CallbackCode>(-3)), "Orvik.Tilo.Tilo2.CallbackCode");
}

TEST(ResultCodesTest, PairLookupsTakeTheFirstMatchAndRaiseOnAMiss) {
  const CodePair rows[] = {{0, 10}, {1, 11}, {1, 12}, {2, 11}};
  EXPECT_EQ(CommonUtils::ConvertToCore(rows, 1), 11);
  EXPECT_EQ(CommonUtils::ConvertFromCore(rows, 11), 1);
  EXPECT_EQ(CommonUtils::ConvertFromCore(rows, 12), 1);
  EXPECT_EQ(ThrownHResult([&] { CommonUtils::ConvertToCore(rows, 3); }), ErrorStatus::ErrParameter);
  EXPECT_EQ(ThrownHResult([&] { CommonUtils::ConvertFromCore(rows, 13); }),
            ErrorStatus::ErrParameter);
  EXPECT_EQ(ThrownHResult([&] { CommonUtils::ConvertToCore({}, 0); }), ErrorStatus::ErrParameter);
  EXPECT_EQ(ThrownHResult([&] { CommonUtils::ConvertFromCore({}, 0); }), ErrorStatus::ErrParameter);
}

TEST(ResultCodesTest, CheckRange) {
  const struct {
    int32_t value, min, max;
    bool rejectMinusOne, rejectMinusTwo;
    bool passes;
  } cases[] = {
      {-1, 0, 10, false, true, true},         // -1 allowed
      {-1, 0, 10, true, true, false},         // -1 rejected, outside the range
      {-1, -5, 10, true, true, true},         // rejected as a marker, but inside the range
      {-2, 1000, 300000, true, false, true},  // -2 allowed
      {-2, 1000, 300000, true, true, false}, {0, 0, 10, true, true, true},
      {10, 0, 10, true, true, true},         {11, 0, 10, false, false, false},
      {-3, 0, 10, false, false, false},
  };
  for (const auto& c : cases) {
    const int32_t hresult = ThrownHResult([&] {
      EXPECT_EQ(CommonUtils::CheckRange(c.value, c.min, c.max, c.rejectMinusOne, c.rejectMinusTwo),
                c.value);
    });
    EXPECT_EQ(hresult, c.passes ? 0 : ErrorStatus::ErrParameter)
        << c.value << " in " << c.min << ".." << c.max;
  }
}

TEST(ResultCodesTest, PassOrMapExceptionKeepsTheSdksOwnCodesAlone) {
  const struct {
    uint32_t hresult;
    uint32_t expected;
  } cases[] = {
      {0xA0048200u, 0xA0048200u},  // ErrParameter kept
      {0xA004820Fu, 0xA004820Fu},  // ErrFailure kept
      {0xA0048210u, 0xA0048201u},  // ErrReserved replaced
      {0x80004005u, 0xA0048201u},  // a foreign code replaced
      {0xA00481FFu, 0xA0048201u},  // just below the range
  };
  for (const auto& c : cases) {
    const RuntimeException original(Hr(c.hresult), "original");
    const RuntimeException result = CommonUtils::PassOrMapException(original, 2);
    EXPECT_EQ(result.HResult(), Hr(c.expected)) << std::hex << c.hresult;
    // A kept exception is the same one, message and all.
    EXPECT_EQ(std::string_view(result.what()) == "original", c.hresult == c.expected);
  }
}

}  // namespace
