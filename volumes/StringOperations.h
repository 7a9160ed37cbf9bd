#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vz {

// text without a trailing suffix when it ends with one; text unchanged otherwise (and for an
// empty suffix).
std::string stringByRemovingSuffix(std::string_view text, std::string_view suffix);

// Exact, case-sensitive tests in which an absent or empty sought text is found nowhere.
bool beginsWith(std::string_view text, std::optional<std::string_view> prefix);
bool endsWith(std::string_view text, std::optional<std::string_view> suffix);
bool containsText(std::string_view text, std::optional<std::string_view> part);

// The text after the last "/", trailing slashes not counted: "/dev/disk1/" gives "disk1", "/"
// gives "/", a text without "/" is its own last component.
std::string_view lastPathComponent(std::string_view path);

} // namespace vz
