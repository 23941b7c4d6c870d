// The numeric value of a text, as every setting and field reads numbers:
// leading blanks skipped, an optional sign, digits with an optional
// fraction; whatever follows is ignored. No number gives 0.
#pragma once

#include <string>
#include <string_view>

namespace kestrova {

double numericValue(std::string_view text);

// True when text begins (after blanks) with a number as above.
bool startsWithNumber(std::string_view text);

// Plain decimal text of a value, never in exponent form: a whole number
// without fraction, else the shortest form that reads back equal ("7.5",
// "0.0001", "100000000000000000000").
std::string numberText(double value);

} // namespace kestrova
