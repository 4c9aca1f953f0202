#include "encoding/display/dsp_cmd.h"
#include "encoding/display/dsp_cmd_handle.h"

namespace tilo2::core {

namespace {

// Display models by exact name; every one shows 20 columns and 2 rows.
constexpr DspModelRow kRows[] = {
    {"CD-A1", DspModelCreate_CD_A1},
    {"CD-A2", DspModelCreate_CD_A2},
    {"CD-A4", DspModelCreate_CD_A4},
    {nullptr, nullptr},
};

}  // namespace

constinit const DspModelRow* const DspModelTable = kRows;

}  // namespace tilo2::core
