// How vivozi reads a command's line: options anywhere, values in every GNU spelling, and a clear
// usage error for each kind of mistake.
#include "cli/CommandLine.h"

#include "cli/Commands.h"

#include <gtest/gtest.h>

namespace {

using vivozi::CommandLine;
using Arity = CommandLine::Arity;

struct Given {
    bool verbose = false, mb = false, demo = false;
    std::size_t limit = 0;
    double wait = 0;
    std::vector<std::string> types, names;
    std::string demoDir;

    std::string text() const {
        std::string joined = "v" + std::to_string(verbose) + " mb" + std::to_string(mb) + " l" +
                             std::to_string(limit) + " w" + std::to_string(wait).substr(0, 3) +
                             " d" + std::to_string(demo) + demoDir + " t";
        for (const std::string& type : types)
            joined += type + ",";
        for (const std::string& name : names)
            joined += " " + name;
        return joined;
    }
};

// What the line gave, "help" for --help, or the usage error.
std::string parse(CommandLine& line, const Given& given, std::vector<std::string> words) {
    words.insert(words.begin(), "cmd");
    std::vector<char*> pointers;
    for (std::string& word : words)
        pointers.push_back(word.data());
    try {
        return line.parse(pointers) ? given.text() : "help";
    } catch (const vivozi::UsageError& e) {
        return e.what();
    }
}

TEST(CommandLine, ReadsOptionsAndArgumentsAndNamesEachMistake) {
    const struct {
        Arity arguments;
        std::vector<std::string> words;
        std::string result;
    } cases[] = {
        // Options before, between and after the arguments; every spelling of a value.
        {Arity::Many,
         {"a", "-v", "--limit=3", "b", "-t", "x", "-ty", "--type", "z"},
         "v1 mb0 l3 w0.0 d0 tx,y,z, a b"},
        {Arity::Many,
         {"--wait", "2.5", "--demo", "--demo-dir=/d", "--", "-v", "--mb"},
         "v0 mb0 l0 w2.5 d1/d t -v --mb"},
        {Arity::Many, {"-vt", "x", "a"}, "v1 mb0 l0 w0.0 d0 tx, a"},
        {Arity::Many, {"--help", "--limit", "0"}, "help"},
        {Arity::Many, {}, "NAME is missing (see cmd --help)"},
        {Arity::Optional, {"a", "b"}, "unexpected argument 'b' (see cmd --help)"},
        {Arity::Many, {"a", "--limit"}, "--limit needs a value"},
        {Arity::Many, {"a", "-t"}, "--type needs a value"},
        {Arity::Many, {"a", "--mb=1"}, "--mb takes no value"},
        {Arity::Many, {"a", "--frob=1"}, "unknown option '--frob'"},
        {Arity::Many, {"a", "-vz"}, "unknown option '-z'"},
        {Arity::Many, {"a", "--limit", "0"}, "--limit: '0' is not a whole number from 1 to 9"},
        {Arity::Many, {"a", "--limit", "+3"}, "--limit: '+3' is not a whole number from 1 to 9"},
        {Arity::Many,
         {"a", "--limit=18446744073709551617"},
         "--limit: '18446744073709551617' is not a whole number from 1 to 9"},
        {Arity::Many,
         {"a", "--wait", "nan"},
         "--wait: 'nan' is not a number of seconds from 0 to 9"},
        {Arity::Many,
         {"a", "--wait", "1e1"},
         "--wait: '1e1' is not a number of seconds from 0 to 9"},
        {Arity::Many, {"a", "--mb", "-v"}, "--mb and --verbose exclude each other"},
        {Arity::Many, {"a", "--demo-dir", "/d"}, "--demo-dir needs --demo"},
        // The rest of the line from its first argument on, options included, is the argument's.
        {Arity::Rest, {"-v", "a", "--mb", "-z"}, "v1 mb0 l0 w0.0 d0 t a --mb -z"},
        {Arity::Rest, {}, "v0 mb0 l0 w0.0 d0 t"},
        {Arity::Rest, {"-z", "a"}, "unknown option '-z'"},
    };
    // POSIXLY_CORRECT, set or not, leaves options free to follow the arguments.
    for (const bool posix : {false, true})
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::PrintToString(c.words) + (posix ? " POSIXLY_CORRECT" : ""));
            posix ? setenv("POSIXLY_CORRECT", "1", 1) : unsetenv("POSIXLY_CORRECT");
            Given given;
            CommandLine line("cmd", "A command.");
            line.flag("-v,--verbose", given.verbose, "Verbose");
            line.flag("--mb", given.mb, "Mebibytes");
            line.flag("--demo", given.demo, "Demo");
            line.option("--limit", "N", vivozi::wholeNumber(given.limit, 1, 9), "Limit");
            line.option("--wait", "SECONDS", vivozi::seconds(given.wait, 0, 9), "Wait");
            line.option("-t,--type", "TYPE", vivozi::into(given.types), "Type");
            line.option("--demo-dir", "DIR", vivozi::into(given.demoDir), "Folder");
            line.excludes("--mb", "--verbose");
            line.needs("--demo-dir", "--demo");
            line.argument("NAME", c.arguments, vivozi::into(given.names), "Names");
            EXPECT_EQ(parse(line, given, c.words), c.result);
        }
    unsetenv("POSIXLY_CORRECT");
}

} // namespace
