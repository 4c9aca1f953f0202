#include "encoding/printer/prn_barcode.h"
#include "encoding/printer/prn_image.h"
#include "encoding/printer/prn_model.h"
#include "encoding/printer/prn_page.h"

namespace tilo2::core {

// Generators of the image, barcode, symbol, page, layout and sound tables.
// A null member leaves its slot empty: the model then answers 2 for it.
constinit const PrnMediaSlots kPrnMediaSlots = {
    PrnGenRasterImage,
    PrnGenBitImageSingle,
    PrnGenBitImageDouble,
    PrnGenBitImage24,
    PrnGenGrayImage,
    PrnGenNvLogo,
    PrnGenNvLogoImpact,
    {PrnGenBarcode, PrnGenHriFont, PrnGenHriPosition, PrnGenBarcodeHeight, PrnGenBarcodeWidth},
    {PrnGenSymbol, PrnGenSymbolLevel, PrnGenSymbolHeight, PrnGenSymbolWidth, PrnGenSymbolSize,
     PrnGenSymbolLevelPercent},
    {PrnGenPageBegin, PrnGenPageEnd, PrnGenPageArea, PrnGenPageDirection, PrnGenPositionX,
     PrnGenPositionY, PrnGenPageLine, PrnGenPageRectangle},
    {PrnGenLayout, PrnGenFeedPosition},
    {PrnGenPulse, PrnGenBuzzer, PrnGenBuzzerRealtime, PrnGenSound},
    PrnGenSoundImpact,
};

}  // namespace tilo2::core
