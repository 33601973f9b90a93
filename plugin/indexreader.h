// Line and value reading of the index readers. Values follow a keyword or
// another value after exactly one blank; every number is range-checked, and
// a value that cannot be read is reported as absent.
#pragma once

#include <cstddef>
#include <cstdio>

#include "decoder.h"

namespace kwi {

// Reads one line into buf (size bytes, terminator included) without its line
// feed; the rest of a longer line is consumed, never read as a line of its own.
// False at the end of the file.
bool ReadLine(FILE* f, char* buf, size_t size);
// The line begins with the keyword / holds it anywhere.
bool Begins(const char* line, const char* keyword);
bool Contains(const char* line, const char* keyword);
// Reads a decimal number at p (blanks before it skipped) and moves p past it.
bool ParseInt(const char*& p, int* out);
bool ParseU64(const char*& p, u64* out);
// Skips blanks and one expected character.
bool Expect(const char*& p, char c);
// Moves the cursor just past the next blank.
bool NextValue(const char*& cursor);
// NextValue, then the number there; the cursor stays at the number's start, so
// the following value is found from the next blank on.
bool NextInt(const char*& cursor, int* out);
bool NextU64(const char*& cursor, u64* out);

}  // namespace kwi
