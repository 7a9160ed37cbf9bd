#include "privacy/PrivacyRows.h"

namespace vz {
namespace {

constexpr std::string_view kFullDiskAccessService = "kTCCServiceSystemPolicyAllFiles";

bool endsWith(std::string_view text, std::string_view suffix) {
    return !suffix.empty() && text.size() >= suffix.size() &&
           text.substr(text.size() - suffix.size()) == suffix;
}

// Field `index` of a "|"-separated line, and whether the line has at least `minimum` fields.
struct Fields {
    std::string_view service, client, grant;
    bool enough = false;
};

Fields splitRow(std::string_view line) {
    Fields fields;
    std::size_t index = 0, start = 0;
    for (;;) {
        const std::size_t bar = line.find('|', start);
        const std::string_view field = line.substr(
            start, bar == std::string_view::npos ? std::string_view::npos : bar - start);
        if (index == 0)
            fields.service = field;
        else if (index == 1)
            fields.client = field;
        else if (index == 3) {
            fields.grant = field;
            fields.enough = true;
            return fields; // later fields are never read
        }
        if (bar == std::string_view::npos)
            return fields;
        ++index;
        start = bar + 1;
    }
}

} // namespace

FdaClientSet configuredFdaClientSet() {
    return FdaClientSet{KX_FDA_APP_BUNDLE_NAME, KX_FDA_BUNDLE_ID, KX_FDA_TOOL_ID, KX_FDA_AGENT_ID};
}

bool grantValue(std::string_view field) {
    std::size_t i = 0;
    while (i < field.size() && (field[i] == ' ' || field[i] == '\t'))
        ++i;
    if (i < field.size() && (field[i] == '+' || field[i] == '-'))
        ++i;
    while (i < field.size() && field[i] == '0')
        ++i;
    if (i == field.size())
        return false;
    const char c = field[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

bool allClientsGranted(std::string_view rows, const FdaClientSet& clients) {
    bool application = false, tool = false, agent = false;
    std::size_t start = 0;
    while (start <= rows.size()) {
        const std::size_t newline = rows.find('\n', start);
        const std::string_view line = rows.substr(
            start, newline == std::string_view::npos ? std::string_view::npos : newline - start);
        start = newline == std::string_view::npos ? rows.size() + 1 : newline + 1;

        const Fields fields = splitRow(line);
        if (!fields.enough || fields.service != kFullDiskAccessService)
            continue;
        // A row whose flag is already set falls through to the later tests.
        if (!application && (endsWith(fields.client, clients.applicationBundleName) ||
                             endsWith(fields.client, clients.bundleIdentifier))) {
            application = grantValue(fields.grant);
            continue;
        }
        if (!tool && endsWith(fields.client, clients.toolIdentifier)) {
            tool = grantValue(fields.grant);
            continue;
        }
        if (!agent && endsWith(fields.client, clients.agentIdentifier))
            agent = grantValue(fields.grant);
    }
    return application && tool && agent;
}

} // namespace vz
