// `vivozi list`: what each set would run, in order, and what it leaves out, without running it.
// The rules are the stand-in's own, from the library.
#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/Output.h"
#include "cli/Sets.h"

#include <VivoziZevidodirid/MaintenanceSets.h>
#include <memory>

namespace vivozi {
namespace {

int listCommand(const SetsChoice& choice, std::vector<std::string> names, bool json) {
    checkSetNames(choice, names);
    if (names.empty())
        names = availableSets(choice);
    int status = kExitSuccess;
    Json answer = Json::array();
    std::string text;
    for (const std::string& name : names) {
        const std::string folder = setFolder(choice, name);
        const kx::SetListing listing = kx::listMaintenanceSet(folder);
        if (listing.error) {
            err << "vivozi: cannot list " << escapeForTerminal(folder) << ": "
                << listing.error.message() << '\n';
            status = kExitFailure;
        }
        Json leftOut = Json::array();
        for (const kx::LeftOutFile& file : listing.leftOut)
            leftOut.push_back(
                {{"name", file.name}, {"reason", std::string(kx::leftOutReasonText(file.reason))}});
        answer.push_back({{"set", name},
                          {"folder", folder},
                          {"scripts", listing.scripts},
                          {"leftOut", std::move(leftOut)},
                          {"error", listing.error ? Json(listing.error.message()) : Json()}});
        text += (text.empty() ? "" : "\n") + name + " (" + escapeForTerminal(folder) + ")\n";
        for (const std::string& script : listing.scripts)
            text += "  " + escapeForTerminal(script) + '\n';
        if (listing.scripts.empty() && !listing.error)
            text += "  no script to run\n";
        for (const kx::LeftOutFile& file : listing.leftOut)
            text += "  left out: " + escapeForTerminal(file.name) + " (" +
                    std::string(kx::leftOutReasonText(file.reason)) + ")\n";
    }
    if (json)
        out << dumpJson(answer) << '\n';
    else
        out << (names.empty() ? "No maintenance sets.\n" : text);
    return status;
}

} // namespace

Runner addListCommand(CommandLine& line, bool& json) {
    struct Given {
        SetsChoice choice;
        SetsOptions sets;
        std::vector<std::string> names;
    };
    const auto given = std::make_shared<Given>();
    line.argument("NAME", CommandLine::Arity::OptionalMany, into(given->names),
                  "Sets to list (default: every set)");
    addSetsOptions(line, given->choice, given->sets);
    addJsonFlag(line, json);
    return [given, &json] {
        return listCommand(given->sets.finish(given->choice), given->names, json);
    };
}

} // namespace vivozi
