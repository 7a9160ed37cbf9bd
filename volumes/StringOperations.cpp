#include "volumes/StringOperations.h"

namespace vz {

std::string stringByRemovingSuffix(std::string_view text, std::string_view suffix) {
    if (endsWith(text, suffix))
        text.remove_suffix(suffix.size());
    return std::string(text);
}

bool beginsWith(std::string_view text, std::optional<std::string_view> prefix) {
    return prefix && !prefix->empty() && text.starts_with(*prefix);
}

bool endsWith(std::string_view text, std::optional<std::string_view> suffix) {
    return suffix && !suffix->empty() && text.ends_with(*suffix);
}

bool containsText(std::string_view text, std::optional<std::string_view> part) {
    return part && !part->empty() && text.find(*part) != std::string_view::npos;
}

std::string_view lastPathComponent(std::string_view path) {
    const auto end = path.find_last_not_of('/');
    if (end == std::string_view::npos) // "" or only slashes
        return path.empty() ? path : path.substr(0, 1);
    path = path.substr(0, end + 1);
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

} // namespace vz
