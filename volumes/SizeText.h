#pragma once

#include <string>

namespace vz {

enum class SizeScale { Decimal, Binary }; // steps of 1000, or of 1024 (systems before 10.6)

// "<number> <unit>": the count scaled down while it is above the step, formatted with two
// decimals, a trailing ".00" removed. Always "." as the decimal mark, whatever the locale.
std::string sizeText(double bytes, SizeScale scale);

// The scale the running system's size text uses.
SizeScale currentSizeScale();

} // namespace vz
