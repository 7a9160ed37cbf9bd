#include "cli/CommandLine.h"

#include "cli/Commands.h"

#include <charconv>
#include <cmath>
#include <getopt.h>
#include <limits>

namespace vivozi {
namespace {

// getopt_long's code for the long option at index i; above every short option's character.
constexpr int kFirstCode = 256;

bool takesMany(CommandLine::Arity arity) {
    return arity != CommandLine::Arity::One && arity != CommandLine::Arity::Optional;
}

bool isRequired(CommandLine::Arity arity) {
    return arity == CommandLine::Arity::One || arity == CommandLine::Arity::Many;
}

std::string quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

// "-v,--verbose" → 'v', "--verbose"
std::pair<char, std::string> splitNames(std::string_view names) {
    if (names.size() > 3 && names[0] == '-' && names[1] != '-' && names[2] == ',')
        return {names[1], std::string(names.substr(3))};
    return {0, std::string(names)};
}

} // namespace

CommandLine::CommandLine(std::string usage, std::string about)
    : usage_(std::move(usage)), about_(std::move(about)) {
    flag("-h,--help", help_, "Print this help and exit");
}

void CommandLine::flag(std::string_view names, bool& on, std::string_view help) {
    auto [shortName, longName] = splitNames(names);
    options_.push_back({shortName, std::move(longName), "", &on, nullptr, std::string(help)});
}

void CommandLine::option(std::string_view names, std::string_view valueName, Take take,
                         std::string_view help) {
    auto [shortName, longName] = splitNames(names);
    options_.push_back({shortName, std::move(longName), std::string(valueName), nullptr,
                        std::move(take), std::string(help)});
}

void CommandLine::argument(std::string_view name, Arity arity, Take take, std::string_view help) {
    arguments_.push_back({std::string(name), arity, std::move(take), std::string(help)});
}

void CommandLine::excludes(std::string_view option, std::string_view other) {
    excluded_.emplace_back(option, other);
}

void CommandLine::needs(std::string_view option, std::string_view other) {
    needed_.emplace_back(option, other);
}

const CommandLine::Option* CommandLine::find(int code) const {
    if (code >= kFirstCode && code - kFirstCode < static_cast<int>(options_.size()))
        return &options_[static_cast<std::size_t>(code - kFirstCode)];
    for (const Option& option : options_)
        if (code > 0 && option.shortName == code)
            return &option;
    return nullptr;
}

void CommandLine::take(const Option& option, const char* value) {
    given_.insert(option.longName);
    if (option.on) {
        *option.on = true;
        return;
    }
    try {
        option.take(value);
    } catch (const UsageError& e) {
        throw UsageError(option.longName + ": " + e.what());
    }
}

bool CommandLine::parse(std::span<char* const> words) {
    const bool rest = !arguments_.empty() && arguments_.back().arity == Arity::Rest;
    // '-': a word that is not an option comes back in its place (code 1), whatever
    // POSIXLY_CORRECT says; ':': a missing value is told from an unknown option.
    std::string shortNames = "-:";
    std::vector<struct ::option> longNames;
    for (std::size_t i = 0; i < options_.size(); ++i) {
        const Option& option = options_[i];
        const bool value = !option.on;
        if (option.shortName)
            shortNames += std::string(1, option.shortName) + (value ? ":" : "");
        longNames.push_back({option.longName.c_str() + 2, value ? required_argument : no_argument,
                             nullptr, kFirstCode + static_cast<int>(i)});
    }
    longNames.push_back({});

    std::vector<char*> line(words.begin(), words.end()), plain;
    line.push_back(nullptr);
    const int count = static_cast<int>(words.size());
    optind = 0; // 0, not 1: glibc then also forgets the last line's state
    opterr = 0;
    bool restBegun = false;
    for (int code; !restBegun && (code = getopt_long(count, line.data(), shortNames.c_str(),
                                                     longNames.data(), nullptr)) != -1;) {
        if (code == 1) {
            plain.push_back(optarg);
            restBegun = rest; // the rest of the line, options too, is the argument's
        } else if (code == ':') {
            throw UsageError(find(optopt)->longName + " needs a value");
        } else if (code == '?') {
            if (const Option* option = find(optopt); option && optopt >= kFirstCode)
                throw UsageError(option->longName + " takes no value");
            std::string word = optopt ? std::string{'-', static_cast<char>(optopt)}
                                      : std::string(line[static_cast<std::size_t>(optind) - 1]);
            throw UsageError("unknown option " + quoted(word.substr(0, word.find('='))));
        } else {
            take(*find(code), optarg);
            if (help_)
                return false;
        }
    }
    // What follows "--", or the rest of the line.
    plain.insert(plain.end(), line.begin() + optind, line.begin() + count);
    takeArguments(plain);
    for (const auto& [option, other] : excluded_)
        if (given(option) && given(other))
            throw UsageError(option + " and " + other + " exclude each other");
    for (const auto& [option, other] : needed_)
        if (given(option) && !given(other))
            throw UsageError(option + " needs " + other);
    return true;
}

void CommandLine::takeArguments(std::span<char* const> words) {
    std::size_t next = 0;
    for (const Argument& argument : arguments_) {
        if (isRequired(argument.arity) && next == words.size())
            throw UsageError(argument.name + " is missing (see " + usage_ + " --help)");
        for (; next < words.size(); ++next) {
            try {
                argument.take(words[next]);
            } catch (const UsageError& e) {
                throw UsageError(argument.name + ": " + e.what());
            }
            if (!takesMany(argument.arity)) {
                ++next;
                break;
            }
        }
    }
    if (next < words.size())
        throw UsageError("unexpected argument " + quoted(words[next]) + " (see " + usage_ +
                         " --help)");
}

std::string CommandLine::help() const {
    std::string synopsis = usage_ + " [OPTIONS]";
    std::vector<std::pair<std::string, std::string>> argumentRows, optionRows;
    for (const Argument& argument : arguments_) {
        const std::string word = argument.name + (takesMany(argument.arity) ? "..." : "");
        synopsis += " " + (isRequired(argument.arity) ? word : "[" + word + "]");
        if (!argument.help.empty())
            argumentRows.emplace_back(argument.name, argument.help);
    }
    for (const Option& option : options_) {
        std::string names = option.shortName ? std::string{'-', option.shortName, ',', ' '} : "";
        names += option.longName + (option.valueName.empty() ? "" : " " + option.valueName);
        optionRows.emplace_back(std::move(names), option.help);
    }
    std::string text = about_ + "\nUsage: " + synopsis + "\n";
    if (!argumentRows.empty())
        text += "\nArguments:\n" + helpColumns(argumentRows);
    return text + "\nOptions:\n" + helpColumns(optionRows) + footer_;
}

std::string helpColumns(const std::vector<std::pair<std::string, std::string>>& rows) {
    constexpr std::size_t kWidth = 28;
    std::string text;
    for (const auto& [name, about] : rows) {
        text += "  " + name;
        text += name.size() < kWidth ? std::string(kWidth - name.size(), ' ')
                                     : "\n" + std::string(kWidth + 2, ' ');
        text += about + "\n";
    }
    return text;
}

CommandLine::Take into(std::string& text) {
    return [&text](const std::string& value) { text = value; };
}

CommandLine::Take into(std::optional<std::string>& text) {
    return [&text](const std::string& value) { text = value; };
}

CommandLine::Take into(std::vector<std::string>& texts) {
    return [&texts](const std::string& value) { texts.push_back(value); };
}

CommandLine::Take wholeNumber(std::size_t& number, std::size_t least, std::size_t most) {
    return [&number, least, most](const std::string& text) {
        std::size_t value = 0;
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, value);
        if (error != std::errc() || stop != end || value < least || value > most) {
            const bool unbounded = most == std::numeric_limits<std::size_t>::max();
            throw UsageError(
                quoted(text) + " is not a whole number " +
                (unbounded && least == 1 ? std::string("above 0")
                 : unbounded             ? "of " + std::to_string(least) + " or more"
                             : "from " + std::to_string(least) + " to " + std::to_string(most)));
        }
        number = value;
    };
}

CommandLine::Take seconds(double& number, double least, double most) {
    return [&number, least, most](const std::string& text) {
        double value = 0;
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, value);
        if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value) ||
            value < least || value > most)
            throw UsageError(quoted(text) + " is not a number of seconds from " +
                             std::to_string(static_cast<long long>(least)) + " to " +
                             std::to_string(static_cast<long long>(most)));
        number = value;
    };
}

} // namespace vivozi
