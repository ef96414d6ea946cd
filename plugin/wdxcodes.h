// The host interface's numbers: result codes, field types and flags, as module, host and tests use them.
#pragma once

// Result codes of the exports; ftString and ftNumeric32 are also the field types.
enum : int {
  ftString = 8,        // the field or the value is a string
  ftNumeric32 = 1,     // the value is a 32-bit integer at the start of the buffer
  ftNoMoreFields = 0,  // catalogue: no field with this index
  ftSetSuccess = 0,    // write: the change was made
  ftNoSuchField = -1,  // no field definition at this index
  ftFileError = -2,    // the file cannot be loaded or the request failed; the field is not writable
  ftFieldEmpty = -3,   // the path leads nowhere in this document
};

// Answer of ContentGetSupportedFieldFlags: the field may be edited.
enum : int { fieldFlagEditable = 1 };

// Flag of ContentSetValue: the last field of this file, save now.
enum : int { setFlagLastField = 2 };
