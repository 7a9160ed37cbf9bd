#include "cli/Format.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace vivozi {
namespace {

bool isContinuationByte(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Byte length of the code point starting at text[i]; 1 for a byte that starts none.
std::size_t codePointLength(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    else if (lead >= 0xE0)
        length = 3;
    else if (lead >= 0xC2 && lead < 0xE0)
        length = 2;
    if (lead >= 0xF5 || i + length > text.size())
        return 1;
    for (std::size_t k = 1; k < length; ++k)
        if (!isContinuationByte(static_cast<unsigned char>(text[i + k])))
            return 1;
    return length;
}

std::string base64(const PlistValue::Data& bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned group = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        out += kAlphabet[group >> 18 & 63];
        out += kAlphabet[group >> 12 & 63];
        out += kAlphabet[group >> 6 & 63];
        out += kAlphabet[group & 63];
    }
    if (const std::size_t rest = bytes.size() - i; rest > 0) {
        const unsigned group = bytes[i] << 16 | (rest == 2 ? bytes[i + 1] << 8 : 0);
        out += kAlphabet[group >> 18 & 63];
        out += kAlphabet[group >> 12 & 63];
        out += rest == 2 ? kAlphabet[group >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

} // namespace

Table::Table(std::vector<Column> columns) : columns_(std::move(columns)) {}

void Table::addRow(std::vector<std::string> cells) {
    cells.resize(columns_.size());
    rows_.push_back(std::move(cells));
}

std::string Table::render(std::string_view indent) const {
    std::vector<std::size_t> widths;
    for (const Column& column : columns_)
        widths.push_back(displayWidth(column.title));
    for (const auto& row : rows_)
        for (std::size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], displayWidth(row[c]));

    std::string out;
    const auto line = [&](const auto& cellAt) {
        std::string text(indent);
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            const std::string_view cell = cellAt(c);
            const std::string padding(widths[c] - displayWidth(cell), ' ');
            if (c > 0)
                text += "  ";
            if (columns_[c].align == Align::Right)
                text += padding + std::string(cell);
            else
                text += std::string(cell) + padding;
        }
        text.erase(text.find_last_not_of(' ') + 1);
        out += text + '\n';
    };
    line([&](std::size_t c) -> std::string_view { return columns_[c].title; });
    for (const auto& row : rows_)
        line([&](std::size_t c) -> std::string_view { return row[c]; });
    return out;
}

std::size_t displayWidth(std::string_view text) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size(); i += codePointLength(text, i))
        ++width;
    return width;
}

std::string escapeForTerminal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char escape[16];
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = codePointLength(text, i);
        const auto lead = static_cast<unsigned char>(text[i]);
        char32_t code = lead;
        if (length > 1) {
            code = lead & (0x7F >> length);
            for (std::size_t k = 1; k < length; ++k)
                code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        const bool strayByte = length == 1 && lead >= 0x80;
        const bool control = code < 0x20 || (code >= 0x7F && code <= 0x9F);
        // Bidirectional embeddings, overrides and isolates reorder what follows them on screen.
        const bool reorders =
            (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
        if (strayByte || (length == 1 && control)) {
            std::snprintf(escape, sizeof escape, "\\x%02X", lead);
            out += escape;
        } else if (control || reorders) {
            std::snprintf(escape, sizeof escape, "\\u{%04X}", static_cast<unsigned>(code));
            out += escape;
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

std::string truncateToWidth(std::string_view text, std::size_t columns) {
    std::size_t i = 0;
    for (std::size_t used = 0; i < text.size() && used < columns; ++used)
        i += codePointLength(text, i);
    return std::string(text.substr(0, i));
}

std::optional<ProgressNotice> parseProgressObject(std::string_view object) {
    const auto first = object.find('|');
    const auto second = first == std::string_view::npos ? first : object.find('|', first + 1);
    if (second == std::string_view::npos)
        return std::nullopt;
    return ProgressNotice{std::string(object.substr(0, first)),
                          std::string(object.substr(first + 1, second - first - 1)),
                          std::string(object.substr(second + 1))};
}

std::string progressBarLine(const BarState& state, std::size_t columns) {
    const float fraction = std::clamp(state.fraction, 0.0f, 1.0f);
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100.0f + 0.5f));
    const std::string counts = std::to_string(state.finished) + "/" + std::to_string(state.total);
    const std::string tail = std::string("  ") + percent + "  " + counts + "  " + state.activity;

    // The bar takes what the text leaves, within bounds that keep it readable.
    const std::size_t room = columns > 1 ? columns - 1 : 0;
    const std::size_t textWidth = displayWidth(tail);
    const std::size_t barWidth =
        std::clamp<std::size_t>(room > textWidth + 2 ? room - textWidth - 2 : 0, 10, 40);
    const auto filled =
        std::min(barWidth, static_cast<std::size_t>(fraction * static_cast<float>(barWidth)));
    const std::string bar =
        "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "]";
    return truncateToWidth(bar + tail, room);
}

std::string isoDateFromReferenceSeconds(double seconds) {
    constexpr double kUnixAtReference = 978307200.0; // 2001-01-01T00:00:00Z
    const double unixSeconds = std::floor(seconds + kUnixAtReference);
    if (!std::isfinite(unixSeconds) || std::fabs(unixSeconds) > 1e15)
        return "";
    const auto whole = static_cast<std::time_t>(unixSeconds);
    std::tm parts{};
    if (!gmtime_r(&whole, &parts))
        return "";
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string isoDateWithOffset(std::time_t seconds) {
    std::tm parts{};
    if (!localtime_r(&seconds, &parts))
        return "";
    char text[64];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts) == 0)
        return "";
    const long offset = parts.tm_gmtoff / 60; // whole minutes, as ISO 8601 writes them
    char zone[48];
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+',
                  std::labs(offset) / 60, std::labs(offset) % 60);
    return std::string(text) + zone;
}

VolumeGroup volumeGroup(std::string_view type, std::string_view source, std::uint64_t totalBytes) {
    static constexpr std::string_view kNetwork[] = {
        "nfs",        "nfs4",       "cifs",        "smb3",        "smbfs",     "ncpfs",
        "afs",        "ceph",       "9p",          "lustre",      "glusterfs", "fuse.glusterfs",
        "fuse.sshfs", "davfs",      "fuse.davfs2", "fuse.rclone", "fuse.s3fs", "webdav",
        "afpfs",      "fuse.cephfs"};
    static constexpr std::string_view kSpecial[] = {
        "proc",    "sysfs",     "devtmpfs",  "devpts", "tmpfs",       "ramfs",    "securityfs",
        "cgroup",  "cgroup2",   "pstore",    "bpf",    "debugfs",     "tracefs",  "configfs",
        "fusectl", "mqueue",    "hugetlbfs", "autofs", "binfmt_misc", "efivarfs", "rpc_pipefs",
        "nsfs",    "selinuxfs", "nfsd",      "devfs",  "fdesc"};
    const auto listed = [type](const auto& names) {
        return std::find(std::begin(names), std::end(names), type) != std::end(names);
    };
    if (listed(kSpecial) || totalBytes == 0)
        return VolumeGroup::Special;
    const bool share = source.starts_with("//") ||
                       (!source.starts_with('/') && source.find(':') != std::string_view::npos);
    if (listed(kNetwork) || share)
        return VolumeGroup::Network;
    return VolumeGroup::Local;
}

const char* groupName(VolumeGroup group) {
    switch (group) {
    case VolumeGroup::Network:
        return "network";
    case VolumeGroup::Special:
        return "special";
    case VolumeGroup::Local:
        break;
    }
    return "local";
}

std::optional<unsigned> usePercent(std::uint64_t usedBytes, std::uint64_t availableBytes) {
    // Halved together until used * 100 and the sum fit: exact for any real size (below
    // 2^57 bytes), and the ratio barely moves beyond.
    while (usedBytes > UINT64_MAX / 100 || availableBytes > UINT64_MAX / 2) {
        usedBytes /= 2;
        availableBytes /= 2;
    }
    const std::uint64_t whole = usedBytes + availableBytes;
    if (whole == 0)
        return std::nullopt;
    return static_cast<unsigned>((usedBytes * 100 + whole - 1) / whole);
}

std::optional<ColorMode> parseColorMode(std::string_view text) {
    if (text == "auto")
        return ColorMode::Auto;
    if (text == "always")
        return ColorMode::Always;
    if (text == "never")
        return ColorMode::Never;
    return std::nullopt;
}

bool colorEnabled(ColorMode mode, bool terminal, const char* noColor) {
    if (mode != ColorMode::Auto)
        return mode == ColorMode::Always;
    return terminal && (noColor == nullptr || *noColor == '\0');
}

std::string usageBar(std::optional<unsigned> percent, std::size_t width, bool color) {
    if (!percent)
        return "[" + std::string(width, ' ') + "]";
    const std::size_t filled = std::min<std::size_t>(width, (*percent * width + 50) / 100);
    std::string marks(filled, '#');
    if (color && filled > 0) {
        const char* hue = *percent >= 90 ? "31" : *percent >= 80 ? "33" : "32";
        marks = std::string("\x1b[") + hue + "m" + marks + "\x1b[0m";
    }
    return "[" + marks + std::string(width - filled, '.') + "]";
}

Json plistToJson(const PlistValue& value) {
    using Kind = PlistValue::Kind;
    switch (value.kind()) {
    case Kind::Absent:
        return nullptr;
    case Kind::Dictionary: {
        Json object = Json::object();
        for (const auto& [key, entry] : *value.dictionaryEntries())
            object[key] = plistToJson(entry);
        return object;
    }
    case Kind::Array: {
        Json array = Json::array();
        for (const PlistValue& element : *value.arrayElements())
            array.push_back(plistToJson(element));
        return array;
    }
    case Kind::String:
        return std::string(*value.stringValue());
    case Kind::Integer: {
        const PlistValue::Integer number = *value.integer();
        if (number.isUnsigned)
            return number.bits;
        return static_cast<std::int64_t>(number.bits);
    }
    case Kind::Real:
        return *value.real();
    case Kind::Boolean:
        return *value.boolean();
    case Kind::Data:
        return base64(*value.data());
    case Kind::Date:
        return isoDateFromReferenceSeconds(value.date()->secondsSinceReferenceDate);
    }
    return nullptr;
}

std::string dumpJson(const Json& value) {
    return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

bool isSetName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

std::optional<double> parseByteCount(std::string_view text) {
    double number = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(number))
        return std::nullopt;
    return number;
}

std::string shellQuote(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

} // namespace vivozi
