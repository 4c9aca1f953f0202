#include "encoding/prn_model.h"

// Generators of the image, barcode, symbol, page, layout and sound tables.
// A null member leaves its slot empty: the model then answers 2 for it.
constinit const PrnMediaSlots kPrnMediaSlots = {};
