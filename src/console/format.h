// printf-style formatting for the console: the common conversions done in place, with
// the I64 length modifier that the reports use for unsigned 64-bit values.
#pragma once

#include <cstdarg>
#include <string>

namespace kp {

// Formats as vsnprintf would into [out, end), for formats made only of flags '-' and
// '0', a width, a length of l, ll or I64, and the letters d i u x X c s %. Returns the
// end of the text; null at the first conversion of any other kind, or when the text
// would pass `end`. `args` is consumed either way.
char* format_simple(char* out, const char* end, const char* format, std::va_list args);

// `value` as "%*d" prints it with `width`, and as "%0*llx" prints it with `width`: the
// fields of the listings' rows, written without a format to read. Each needs room for
// 21 bytes or `width`, whichever is more, and may write there past the text it returns
// the end of: a row's next field writes over it.
char* put_decimal(char* out, long long value, unsigned char width);
char* put_hex(char* out, unsigned long long value, unsigned char width);

// The format with each I64 length modifier turned into the standard ll, for vsnprintf.
std::string standard_format(const char* format);

}  // namespace kp
