#include "privacy/PrivacyRows.h"

#include <optional>

namespace vz {
namespace {

constexpr std::string_view kFullDiskAccessService = "kTCCServiceSystemPolicyAllFiles";

bool endsWith(std::string_view text, std::string_view suffix) {
    return !suffix.empty() && text.size() >= suffix.size() &&
           text.substr(text.size() - suffix.size()) == suffix;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexDigit(char c) {
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The end of the row that starts at `start`: its line break outside quotes, or the end of the
// text. Every literal holds an even number of quotes, so parity alone tells inside from outside.
std::size_t rowEnd(std::string_view text, std::size_t start) {
    bool quoted = false;
    for (std::size_t i = start; i < text.size(); ++i) {
        if (text[i] == '\'')
            quoted = !quoted;
        else if (text[i] == '\n' && !quoted)
            return i;
    }
    return text.size();
}

std::size_t skipDigits(std::string_view row, std::size_t i) {
    while (i < row.size() && isDigit(row[i]))
        ++i;
    return i;
}

// The value of the literal at `at`, moving `at` past it; nullopt when none starts there.
std::optional<std::string> readLiteral(std::string_view row, std::size_t& at) {
    std::size_t i = at;
    std::string value;
    if (i < row.size() && row[i] == '\'') {
        for (++i;; i += 2) {
            const std::size_t quote = row.find('\'', i);
            if (quote == std::string_view::npos)
                return std::nullopt;
            value.append(row.substr(i, quote - i));
            i = quote;
            if (i + 1 == row.size() || row[i + 1] != '\'')
                break;
            value += '\'';
        }
        at = i + 1;
        return value;
    }
    if (row.substr(i, 2) == "X'") {
        const std::size_t quote = row.find('\'', i + 2);
        if (quote == std::string_view::npos || (quote - i) % 2 != 0)
            return std::nullopt;
        for (i += 2; i < quote; i += 2) {
            const int high = hexDigit(row[i]), low = hexDigit(row[i + 1]);
            if (high < 0 || low < 0)
                return std::nullopt;
            value += static_cast<char>(high * 16 + low);
        }
        at = quote + 1;
        return value;
    }
    if (row.substr(i, 4) == "NULL") {
        at = i + 4;
        return value;
    }
    // A number as the tool prints it: -12, 2.5, 1.0e+300, Inf (or 1e999 in other versions).
    if (i < row.size() && row[i] == '-')
        ++i;
    if (row.substr(i, 3) == "Inf") {
        value = row.substr(at, i + 3 - at);
        at = i + 3;
        return value;
    }
    const std::size_t digits = i;
    i = skipDigits(row, i);
    if (i == digits)
        return std::nullopt;
    if (i < row.size() && row[i] == '.') {
        const std::size_t fraction = i + 1;
        if ((i = skipDigits(row, fraction)) == fraction)
            return std::nullopt;
    }
    if (i < row.size() && (row[i] == 'e' || row[i] == 'E')) {
        std::size_t exponent = i + 1;
        if (exponent < row.size() && (row[exponent] == '+' || row[exponent] == '-'))
            ++exponent;
        if ((i = skipDigits(row, exponent)) == exponent)
            return std::nullopt;
    }
    value = row.substr(at, i - at);
    at = i;
    return value;
}

std::optional<std::vector<std::string>> readRow(std::string_view row) {
    std::vector<std::string> fields;
    for (std::size_t at = 0;;) {
        auto value = readLiteral(row, at);
        if (!value)
            return std::nullopt;
        fields.push_back(std::move(*value));
        if (at == row.size())
            return fields;
        if (row[at++] != ',')
            return std::nullopt;
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

std::vector<std::vector<std::string>> readQuotedRows(std::string_view output) {
    std::vector<std::vector<std::string>> rows;
    for (std::size_t start = 0; start < output.size();) {
        const std::size_t end = rowEnd(output, start);
        if (auto row = readRow(output.substr(start, end - start)))
            rows.push_back(std::move(*row));
        start = end + 1;
    }
    return rows;
}

bool allClientsGranted(std::string_view quotedRows, const FdaClientSet& clients) {
    bool application = false, tool = false, agent = false;
    for (const auto& row : readQuotedRows(quotedRows)) {
        if (row.size() < 4 || row[0] != kFullDiskAccessService)
            continue;
        const std::string_view client = row[1], grant = row[3];
        // A row whose flag is already set falls through to the later tests.
        if (!application && (endsWith(client, clients.applicationBundleName) ||
                             endsWith(client, clients.bundleIdentifier))) {
            application = grantValue(grant);
            continue;
        }
        if (!tool && endsWith(client, clients.toolIdentifier)) {
            tool = grantValue(grant);
            continue;
        }
        if (!agent && endsWith(client, clients.agentIdentifier))
            agent = grantValue(grant);
    }
    return application && tool && agent;
}

} // namespace vz
