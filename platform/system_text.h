// Texts the operating system keeps for the program: message texts for error codes,
// string-table entries, and case-insensitive comparison.
#pragma once

#include <cstdint>

#include "base/types.h"

namespace qv {

class STRING;

// The system's text for an error code, untrimmed (it usually ends with ".\r\n"); with a
// module, that module's message table is searched too. False when there is no text.
bool SystemMessageText(uint32_t code, MODULE_HANDLE module, STRING& text);

// The string-table entry 'number' of a module (null: the main program). False when missing.
bool LoadStringTableEntry(uint32_t number, MODULE_HANDLE module, STRING& text);

// Compares two UTF-16 texts ignoring case the way the system does; <0, 0 or >0.
int CompareTextIgnoringCase(const char16_t* left, uint32_t leftLength, const char16_t* right,
                            uint32_t rightLength);

// The upper-case form under which CompareTextIgnoringCase finds texts equal (for keys of
// case-insensitive look-ups); null gives the empty text.
STRING UpperCaseText(const char16_t* text);

// The same comparison for whole texts; missing and empty texts are equal.
bool EqualsIgnoringCase(const STRING& left, const char16_t* right);
bool EqualsIgnoringCase(const STRING& left, const STRING& right);
// UTF-8 texts, compared as their UTF-16 forms.
bool EqualsIgnoringCase(const char* left, const char* right);

}  // namespace qv
