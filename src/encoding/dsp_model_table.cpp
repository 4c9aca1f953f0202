#include "encoding/dsp_cmd_handle.h"

namespace {

constexpr DspModelRow kRows[] = {
    {nullptr, nullptr},
};

}  // namespace

constinit const DspModelRow* const DspModelTable = kRows;
