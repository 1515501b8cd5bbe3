// Numbers as Python writes and reads them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillmere::numbers {

// round(x, 2): correctly rounded from the exact double, ties to even.
double round2(double x);
// repr(x): shortest text that reads back to x ("20.0", "1e+16", "1.5e-05", "inf", "nan").
std::string repr(double x);
// "%.2f" % x: fixed point, exactly two decimals, ties to even on the exact value.
std::string fixed2(double x);
// float(s) for a str: surrounding white space, Unicode decimal digits, "_"
// between digits, "inf"/"infinity"/"nan" in any case. nullopt where float()
// raises ValueError.
std::optional<double> parse_python_float(std::string_view s);

}  // namespace quillmere::numbers
