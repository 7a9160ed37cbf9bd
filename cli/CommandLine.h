#pragma once

// One command line of vivozi (the program's own, or one command's): its options and arguments,
// read with getopt_long, and the help that lists them.

#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vivozi {

class CommandLine {
public:
    // Takes an option's value or an argument; throws UsageError for one it refuses, which the
    // parse names the option or argument in.
    using Take = std::function<void(const std::string& text)>;

    enum class Arity {
        One,          // NAME
        Optional,     // [NAME]
        Many,         // NAME...: one or more
        OptionalMany, // [NAME...]
        Rest,         // [NAME...]: every word from the first that is not an option, options too
    };

    // usage: what the line starts with ("vivozi run"); about: the first line of its help.
    CommandLine(std::string usage, std::string about);

    // names: "--json" or "-v,--verbose".
    void flag(std::string_view names, bool& on, std::string_view help);
    void option(std::string_view names, std::string_view valueName, Take take,
                std::string_view help);
    // In the order they are given on the line; Many, OptionalMany and Rest only last.
    void argument(std::string_view name, Arity arity, Take take, std::string_view help);
    // Given together, or one without the other, is a usage error.
    void excludes(std::string_view option, std::string_view other);
    void needs(std::string_view option, std::string_view other);
    // Printed after the options in the help.
    void footer(std::string text) { footer_ = std::move(text); }

    // Reads words[1...] (words[0] names the program). False when --help was given: nothing
    // was checked and the caller prints help(). Throws UsageError.
    bool parse(std::span<char* const> words);
    // Whether the line gave the option (by its long name, "--demo").
    bool given(std::string_view option) const { return given_.contains(std::string(option)); }
    std::string help() const;

private:
    struct Option {
        char shortName = 0;
        std::string longName;
        std::string valueName; // empty: a flag
        bool* on = nullptr;
        Take take;
        std::string help;
    };
    struct Argument {
        std::string name;
        Arity arity;
        Take take;
        std::string help;
    };

    const Option* find(int code) const;
    void take(const Option& option, const char* value);
    void takeArguments(std::span<char* const> words);

    std::string usage_, about_, footer_;
    std::vector<Option> options_;
    std::vector<Argument> arguments_;
    std::vector<std::pair<std::string, std::string>> excluded_, needed_;
    std::set<std::string> given_;
    bool help_ = false;
};

// Two columns, as help prints options: each name indented by two, its text beside it, or on
// the next line when the name is too long.
std::string helpColumns(const std::vector<std::pair<std::string, std::string>>& rows);

// Takes for the usual values.
CommandLine::Take into(std::string& text);
CommandLine::Take into(std::optional<std::string>& text);
CommandLine::Take into(std::vector<std::string>& texts); // appends; an option may repeat
// A whole number from `least` to `most`, digits only.
CommandLine::Take wholeNumber(std::size_t& number, std::size_t least, std::size_t most);
// A decimal number of seconds from `least` to `most`.
CommandLine::Take seconds(double& number, double least, double most);

} // namespace vivozi
