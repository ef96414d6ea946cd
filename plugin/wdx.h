// The five functions the module exports to its host, as the host declares them.
#pragma once

#ifdef _WIN32
#define VELARIN_CALL __stdcall
#define VELARIN_EXPORT
#else
#define VELARIN_CALL
#define VELARIN_EXPORT __attribute__((visibility("default")))
#endif

#include "plugin/wdxcodes.h"

extern "C" {

// Copies the detect string into buffer, cut to size bytes including the zero.
VELARIN_EXPORT void VELARIN_CALL ContentGetDetectString(char* detectString, int maxLen);

// Name and units of field fieldIndex; ftString, or ftNoMoreFields past the last field.
VELARIN_EXPORT int VELARIN_CALL ContentGetSupportedField(int fieldIndex, char* fieldName,
                                                         char* units, int maxLen);

// Always 1: every field may be edited (writes to read-only fields answer ftFileError).
VELARIN_EXPORT int VELARIN_CALL ContentGetSupportedFieldFlags(int fieldIndex);

// Value of one field (one occurrence: unitIndex) of fileName into fieldValue.
VELARIN_EXPORT int VELARIN_CALL ContentGetValue(const char* fileName, int fieldIndex, int unitIndex,
                                                void* fieldValue, int maxLen, int flags);

// Writes one field; a negative field index or an empty name ends the batch.
VELARIN_EXPORT int VELARIN_CALL ContentSetValue(const char* fileName, int fieldIndex, int unitIndex,
                                                int fieldType, const void* fieldValue, int flags);

}  // extern "C"
