// The five functions the module exports to its host, as the host declares them.
#pragma once

#ifdef _WIN32
#define VELARIN_CALL __stdcall
#define VELARIN_EXPORT
#else
#define VELARIN_CALL
#define VELARIN_EXPORT __attribute__((visibility("default")))
#endif

// Result codes of the exports.
enum : int {
  ftString = 8,         // the field or the value is a string
  ftNumeric32 = 1,      // the value is a 32-bit integer at the start of the buffer
  ftNoMoreFields = 0,   // catalogue: no field with this index; write: the change was made
  ftNoSuchField = -1,   // no field definition at this index
  ftFileError = -2,     // the file cannot be loaded or the request failed; the field is not writable
  ftFieldEmpty = -3,    // the path leads nowhere in this document
};

// Flag of ContentSetValue: the last field of this file, save now.
enum : int { setFlagLastField = 2 };

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
