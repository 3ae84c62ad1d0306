// Text of floating-point values: exactly what snprintf's "%g" writes, with
// the common case done without the general-purpose formatter.
#pragma once

#include <cstddef>

// The smallest buffer float_g_short writes into: "-1.23456e+27" and its NUL
// with room to spare.
constexpr size_t FLOAT_G_SHORT_CAP = 16;

// Writes the "%g" text of v and its NUL into out (at least
// FLOAT_G_SHORT_CAP bytes) and returns true, or returns false, with out
// unspecified, when v is one the general formatter has to render: NaN, the
// infinities, values outside 1e-17..1e28, values within 1e-9 of a rounding
// tie in the seventh digit, and every value while the rounding mode is not
// to-nearest or the locale's decimal point is not ".".
bool float_g_short(double v, char* out);

// Writes the "%g" text of v into out (cap bytes, cut and terminated as
// snprintf cuts it); byte for byte what snprintf(out, cap, "%g", v) writes.
void float_g_text(double v, char* out, size_t cap);
