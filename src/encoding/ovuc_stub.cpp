// Placeholder bodies until the converter lands: every call answers failure.
#include "encoding/ovuc.h"

OvucHandle ConverterOpen(const char*, size_t) { return OVUC_ERR_MODEL_MISSING; }
OvucHandle OvucOpenHandle(const char*, size_t, const char*) { return OVUC_ERR_MODEL_MISSING; }
int16_t OvucCloseHandle(OvucHandle) { return OVUC_ERR_HANDLE; }
int16_t OvucSetEncodeType(OvucHandle) { return OVUC_ERR_HANDLE; }
int16_t OvucSetData(OvucHandle, const char*, size_t) { return OVUC_ERR_HANDLE; }
int16_t OvucGetOutputData(OvucHandle, uint8_t*, size_t*) { return OVUC_ERR_HANDLE; }
