#pragma once

#include <cstdint>
#include <string_view>

namespace vz {

// Orders two texts the way a numeric-search comparison does: runs of the ASCII digits 0-9
// compare by their numeric value, every other character by its code point (bytewise for
// UTF-8), case-sensitively and without regard to locale. The first difference decides; when
// one text is an initial part of the other, the shorter orders first.
//
// Leading zeros do not count: "010" and "10" have the same value and compare as equal runs, so
// "10.01" and "10.1" are the same version. Runs of any length compare exactly (no overflow).
//
// Returns -1 when a orders before b, 0 when they are the same, +1 when a orders after b.
std::int64_t compareNumerically(std::string_view a, std::string_view b);

} // namespace vz
