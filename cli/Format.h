#pragma once

// Presentation helpers of vivozi: pure functions over text, kept apart from the commands so that
// they can be tested on their own.

#include <VivoziZevidodirid/PlistValue.h>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vivozi {

// Keys keep the order they were written in: a report reads better that way than sorted.
using Json = nlohmann::ordered_json;

// Columns of text aligned for a terminal: a header row, then one row per addRow.
class Table {
public:
    enum class Align { Left, Right };
    struct Column {
        std::string title;
        Align align = Align::Left;
    };

    explicit Table(std::vector<Column> columns);
    // Missing cells print empty; extra cells are dropped.
    void addRow(std::vector<std::string> cells);
    bool empty() const { return rows_.empty(); }
    // Every line starts with indent; columns are two blanks apart; no trailing blanks.
    std::string render(std::string_view indent = "") const;

private:
    std::vector<Column> columns_;
    std::vector<std::vector<std::string>> rows_;
};

// Columns a text takes on a terminal: one per code point, so that the narrow no-break space ICU
// puts before "AM" counts once, not three times. Invalid bytes count one each.
std::size_t displayWidth(std::string_view text);
// text cut to at most `columns` display columns, at a code point boundary.
std::string truncateToWidth(std::string_view text, std::size_t columns);

// text safe to print on a terminal: control characters (C0, DEL, C1), direction overrides and
// bytes that are not UTF-8 written as \xHH or \u{HHHH}, so that text from another process can
// neither drive the terminal (retitle, clear, move the cursor) nor start a line of its own.
std::string escapeForTerminal(std::string_view text);

// The object text of a progress broadcast, "<percent>|<status>|<name>", taken apart at its first
// two '|': the percent and the status (a date or one of the runner's messages) never hold one,
// a set name may. nullopt when there are fewer than two separators.
struct ProgressNotice {
    std::string percent;
    std::string status;
    std::string name;
};
std::optional<ProgressNotice> parseProgressObject(std::string_view object);

// What the progress bar shows at one moment of a run.
struct BarState {
    float fraction = 0.0f; // `progress`, 0 to 1
    std::size_t finished = 0;
    std::size_t total = 0;
    std::string activity; // "running weekly", "daily succeeded"
};
// One line, "[#####.....]  50%  1/2  running weekly", never wider than columns - 1 so that the
// terminal does not wrap it (a wrapped line cannot be redrawn in place).
std::string progressBarLine(const BarState& state, std::size_t columns);

// A property list as JSON: dictionaries become objects, data base64 text, dates ISO 8601 text
// in UTC, an absent value null.
Json plistToJson(const PlistValue& value);
// Seconds since 2001-01-01 as "2001-01-01T00:00:00Z" (fractions of a second dropped).
std::string isoDateFromReferenceSeconds(double seconds);

// Seconds since 1970 as local time with its offset, "2024-03-01T14:05:09+01:00".
std::string isoDateWithOffset(std::time_t seconds);

// What a volume listing shows by default: local file systems, network ones, and special ones
// (kernel interfaces and memory), which hold no data of their own and show only with --all.
enum class VolumeGroup { Local, Network, Special };
// By the type name, and for a network share also by its source ("host:/export", "//host/share");
// a file system without size is special whatever its type.
VolumeGroup volumeGroup(std::string_view type, std::string_view source, std::uint64_t totalBytes);
const char* groupName(VolumeGroup group); // "local", "network", "special"

// Used share of what a user could have, used / (used + available) in percent rounded up, as df
// counts it (the superuser's reserve left out); nullopt when both are 0.
std::optional<unsigned> usePercent(std::uint64_t usedBytes, std::uint64_t availableBytes);

// --color: auto colours only a terminal, and only when NO_COLOR is unset or empty; always and
// never overrule both.
enum class ColorMode { Auto, Always, Never };
std::optional<ColorMode> parseColorMode(std::string_view text);
bool colorEnabled(ColorMode mode, bool terminal, const char* noColor);
// "[#####...............]", width marks between the brackets, the marks coloured by fullness
// (green, then yellow from 80%, red from 90%) when color is set; blanks for an unknown percent.
std::string usageBar(std::optional<unsigned> percent, std::size_t width, bool color);

// JSON text for output; invalid UTF-8 in strings is replaced rather than thrown on.
std::string dumpJson(const Json& value);

// A name periodic runs a set by: ASCII letters, digits, '-' and '_', nothing else.
bool isSetName(std::string_view name);

// A byte-count argument: a decimal number, optionally with a fraction or exponent, nothing else.
std::optional<double> parseByteCount(std::string_view text);

// text quoted for a POSIX shell: inside single quotes, each ' written as '\''.
std::string shellQuote(std::string_view text);

} // namespace vivozi
