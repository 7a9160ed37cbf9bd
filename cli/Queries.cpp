// The thin doors: one library function (or a few) per command, the answer printed as text or
// JSON. A question without an answer exits with kExitFailure, after one line on standard error.
#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/Output.h"

#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <memory>

namespace vivozi {
namespace {

Json optionalText(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json();
}

int noAnswer(const std::string& message) {
    err << "vivozi: " << message << '\n';
    return kExitFailure;
}

// Answers of the mount lookups: "" when nothing matched, nullopt when the match is not UTF-8.
int printLookup(const std::optional<std::string>& answer, const char* questionKey,
                const std::string& question, const char* answerKey, bool json,
                const std::string& missing) {
    const bool found = answer && !answer->empty();
    if (json)
        out << dumpJson({{questionKey, question}, {answerKey, found ? Json(*answer) : Json()}})
            << '\n';
    else if (found)
        out << *answer << '\n';
    if (found)
        return kExitSuccess;
    return noAnswer(answer ? missing : "the answer for " + question + " is not valid UTF-8");
}

const char* roleWord(APFSVolumeRole role) {
    static constexpr const char* kWords[] = {"System", "Data",   "Preboot", "Recovery",
                                             "VM",     "Backup", "None"};
    const auto code = static_cast<std::int32_t>(role);
    return code >= 0 && code <= 6 ? kWords[code] : "None";
}

int sizeCommand(const std::vector<std::string>& byteCounts, bool mebibytes, bool json) {
    std::vector<double> counts;
    for (const std::string& text : byteCounts) {
        const auto count = parseByteCount(text);
        if (!count)
            throw UsageError("'" + text + "' is not a byte count");
        counts.push_back(*count);
    }
    Json answers = Json::array();
    Table table({{"BYTES", Table::Align::Right}, {"SIZE", Table::Align::Right}});
    for (std::size_t i = 0; i < counts.size(); ++i) {
        double bytes = counts[i];
        // The mebibyte text rounds the count down in place; the row then shows what it kept.
        const std::string text = mebibytes ? KXFoundationRoundByteCountToMBAndString(&bytes)
                                           : KXFoundationConvertBytesToStringValue(bytes);
        answers.push_back({{"argument", byteCounts[i]}, {"bytes", bytes}, {"text", text}});
        table.addRow({byteCounts[i], text});
    }
    if (json) {
        out << dumpJson(answers) << '\n';
    } else if (counts.size() == 1) {
        out << answers[0]["text"].get<std::string>() << '\n';
    } else {
        out << table.render();
    }
    return kExitSuccess;
}

int compareCommand(const std::string& version, bool json) {
    const std::optional<std::string> running = KXGetCurrentSystemString();
    if (!running)
        return noAnswer("cannot learn the running system's version");
    const std::int64_t order = KXCompareCurrentSystemVersionWith(version);
    const char* relation = order < 0 ? "older" : order > 0 ? "newer" : "same";
    if (json) {
        out << dumpJson({{"running", *running},
                         {"version", version},
                         {"order", order},
                         {"relation", relation}})
            << '\n';
    } else {
        const std::string shown = running->empty() ? "(empty)" : *running;
        if (order == 0)
            out << "running " << shown << " is the same as " << version << '\n';
        else
            out << "running " << shown << " is " << relation << " than " << version << '\n';
    }
    return kExitSuccess;
}

int mountOfCommand(const std::string& device, bool json) {
    return printLookup(getVolumeMountOnName(device), "device", device, "mountPoint", json,
                       device + " is not mounted");
}

int deviceOfCommand(const std::string& mountPoint, bool json) {
    return printLookup(getVolumeMountFromName(mountPoint), "mountPoint", mountPoint, "device", json,
                       "nothing is mounted at " + mountPoint);
}

int apfsCommand(const std::string& name, bool json) {
    const PlistValue container = getAPFSContainer(name);
    const std::optional<std::string> system = getAPFSSystemVolume(name);
    const std::optional<std::string> data = getAPFSDataVolume(name);
    const std::optional<std::string> preboot = getAPFSPrebootVolume(name);
    const std::optional<std::string> recovery = getAPFSRecoveryVolume(name);
    const APFSVolumeRole role = getAPFSVolumeRole(name);
    const bool found = !container.isAbsent() || system || data || preboot || recovery ||
                       role != APFSVolumeRoleNone;

    if (json) {
        out << dumpJson({{"name", name},
                         {"container", plistToJson(container)},
                         {"systemVolume", optionalText(system)},
                         {"dataVolume", optionalText(data)},
                         {"prebootVolume", optionalText(preboot)},
                         {"recoveryVolume", optionalText(recovery)},
                         {"role", roleWord(role)},
                         {"roleCode", static_cast<std::int32_t>(role)}})
            << '\n';
    } else if (found) {
        Table table({{"KEY"}, {"VALUE"}});
        if (container.isAbsent()) {
            table.addRow({"Container", "-"});
        } else {
            table.addRow(
                {"Container",
                 std::string(container["ContainerReference"].stringValue().value_or("?"))});
            table.addRow({"Capacity", KXFoundationConvertBytesToStringValue(
                                          container["CapacityCeiling"].doubleValue())});
            table.addRow({"Free", KXFoundationConvertBytesToStringValue(
                                      container["CapacityFree"].doubleValue())});
            std::string volumes;
            if (const auto* elements = container["Volumes"].arrayElements())
                for (const PlistValue& volume : *elements)
                    volumes +=
                        (volumes.empty() ? "" : ", ") +
                        std::string(volume["DeviceIdentifier"].stringValue().value_or("?")) + " (" +
                        std::string(volume["Roles"][0].stringValue().value_or("no role")) + ")";
            table.addRow({"Volumes", volumes.empty() ? "-" : volumes});
        }
        table.addRow({"System volume", system.value_or("-")});
        table.addRow({"Data volume", data.value_or("-")});
        table.addRow({"Preboot volume", preboot.value_or("-")});
        table.addRow({"Recovery volume", recovery.value_or("-")});
        table.addRow({"Role of " + name, roleWord(role)});
        const std::string text = table.render();
        out << text.substr(text.find('\n') + 1);
    }
    return found ? kExitSuccess : noAnswer("no APFS container or volume named " + name);
}

int tmutilCommand(const std::vector<std::string>& arguments, bool json) {
    const PlistValue answer = tmutil(arguments);
    if (json)
        out << dumpJson({{"arguments", arguments}, {"result", plistToJson(answer)}}) << '\n';
    else if (!answer.isAbsent())
        out << answer.description() << '\n';
    return answer.isAbsent() ? noAnswer("no answer from " + kx::systemPaths().tmutil)
                             : kExitSuccess;
}

// A command of one required argument, the library's answer for it.
Runner oneArgumentCommand(CommandLine& line, bool& json, const char* argument,
                          const char* argumentAbout, int (*answer)(const std::string&, bool)) {
    const auto given = std::make_shared<std::string>();
    line.argument(argument, CommandLine::Arity::One, into(*given), argumentAbout);
    addJsonFlag(line, json);
    return [given, &json, answer] { return answer(*given, json); };
}

} // namespace

Runner addSizeCommand(CommandLine& line, bool& json) {
    struct Sizes {
        std::vector<std::string> byteCounts;
        bool mebibytes = false;
    };
    const auto sizes = std::make_shared<Sizes>();
    line.argument("BYTES", CommandLine::Arity::Many, into(sizes->byteCounts),
                  "Byte counts (1536, 2.5e9)");
    line.flag("--mb", sizes->mebibytes, "Round down to whole mebibytes instead (\"3M\")");
    addJsonFlag(line, json);
    return [sizes, &json] { return sizeCommand(sizes->byteCounts, sizes->mebibytes, json); };
}

Runner addCompareCommand(CommandLine& line, bool& json) {
    return oneArgumentCommand(line, json, "VERSION", "A version such as 12 or 10.15.7",
                              compareCommand);
}

Runner addMountOfCommand(CommandLine& line, bool& json) {
    return oneArgumentCommand(line, json, "DEVICE", "A device, with or without /dev/",
                              mountOfCommand);
}

Runner addDeviceOfCommand(CommandLine& line, bool& json) {
    return oneArgumentCommand(line, json, "MOUNTPOINT", "A mount point such as /", deviceOfCommand);
}

Runner addApfsCommand(CommandLine& line, bool& json) {
    return oneArgumentCommand(line, json, "NAME", "A container, physical store or volume (disk1)",
                              apfsCommand);
}

Runner addTmutilCommand(CommandLine& line, bool& json) {
    // Everything from the first word on is the tool's, options included.
    const auto arguments = std::make_shared<std::vector<std::string>>();
    addJsonFlag(line, json);
    line.argument(
        "ARGS", CommandLine::Arity::Rest, into(*arguments),
        "The tool's arguments, after vivozi's options (after -- when the first begins with -)");
    return [arguments, &json] { return tmutilCommand(*arguments, json); };
}

} // namespace vivozi
