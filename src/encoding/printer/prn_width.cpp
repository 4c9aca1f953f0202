// Printable width of each model family, from the paper width that the device
// layer wrote into the builder.
#include "encoding/printer/prn_model.h"

namespace tilo2::core {

namespace {

// 0 with dots when dots is positive; 2 for a paper width the model lacks.
int Answer(int dots, int* outDots) {
  if (dots <= 0) return 2;
  *outDots = dots;
  return 0;
}

}  // namespace

int PrnWidth_RP_k2(PrnCmdHandle_t* b, int* out) {
  if (b == nullptr || out == nullptr) return 1;
  return Answer(420, out);
}

int PrnWidth_RP_k4(PrnCmdHandle_t* b, int* out) {
  if (b == nullptr || out == nullptr) return 1;
  const int code = b->paperWidthCode;
  return Answer(code == 50 ? 420 : code == 54 ? 576 : 0, out);
}

int PrnWidth_RP_M3(PrnCmdHandle_t* b, int* out) {
  if (b == nullptr || out == nullptr) return 1;
  return Answer(384, out);
}

int PrnWidth_RP_M5(PrnCmdHandle_t* b, int* out) {
  if (b == nullptr || out == nullptr) return 1;
  const int code = b->paperWidthCode;
  return Answer(code == 50 ? 420 : code == 51 ? 432 : 0, out);
}

int PrnWidth_RP_M7(PrnCmdHandle_t* b, int* out) {
  if (b == nullptr || out == nullptr) return 1;
  const int flag = b->paperWidthFlag;
  return Answer(flag == 0 ? 576 : flag == 1 ? 546 : 0, out);
}

int PrnWidth_RP_S3(PrnCmdHandle_t* b, int* out) {
  if (b == nullptr || out == nullptr) return 1;
  const int code = b->paperWidthCode, flag = b->paperWidthFlag;
  int dots = 0;
  if (code == 50) dots = flag == 0 ? 420 : flag == 1 ? 378 : 0;
  if (code == 54) dots = flag == 0 ? 576 : flag == 1 ? 546 : 0;
  return Answer(dots, out);
}

int PrnWidth_RP_S6(PrnCmdHandle_t* b, int* out) {
  if (b == nullptr || out == nullptr) return 1;
  const int code = b->paperWidthCode, density = b->dotDensityX;
  int dots = 0;
  if (code == 66) dots = density == 203 ? 576 : density == 180 ? 512 : 0;
  if (code == 67 && density == 203) dots = 416;
  return Answer(dots, out);
}

int PrnWidth_RP_S12E(PrnCmdHandle_t* b, int* out) {
  if (b == nullptr || out == nullptr) return 1;
  const int code = b->paperWidthCode;
  return Answer(code == 50 ? 360 : code == 54 ? 512 : 0, out);
}

}  // namespace tilo2::core
