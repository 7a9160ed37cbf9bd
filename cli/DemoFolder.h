#pragma once

// The folder the bundled sample sets work in. The sets delete and rewrite files there, so they
// work only in a folder vivozi made for them and marked, never in one of the user's own.

#include <optional>
#include <string>

namespace vivozi {

// The name of the mark the sample sets look for before they touch anything.
inline constexpr char kDemoMark[] = ".vivozi-demo";

// Makes and marks `requested` (default: defaultDemoFolder()) when it is missing, marks it when it
// is empty, and answers its absolute path. A folder that is a link, belongs to another user, may
// be written by others, or holds files but no mark is refused: UsageError when the user named
// it, std::runtime_error otherwise.
std::string prepareDemoFolder(const std::optional<std::string>& requested);

} // namespace vivozi
