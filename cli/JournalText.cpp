#include "cli/JournalText.h"

#include <csignal>
#include <cstring>
#include <ctime>

namespace vivozi {

namespace {

std::string formatTime(kx::JournalTime at, bool local, const char* format) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::seconds>(at));
    std::tm parts{};
    if (!(local ? localtime_r(&seconds, &parts) : gmtime_r(&seconds, &parts)))
        return "?";
    char text[64];
    return std::strftime(text, sizeof text, format, &parts) ? text : "?";
}

} // namespace

std::string localTimeText(kx::JournalTime at) {
    return formatTime(at, true, "%Y-%m-%d %H:%M:%S");
}

std::string isoTimeText(kx::JournalTime at) {
    const auto micros = (at.time_since_epoch() % std::chrono::seconds(1)).count();
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%06lld",
                  static_cast<long long>(micros < 0 ? 0 : micros));
    return formatTime(at, false, "%Y-%m-%dT%H:%M:%S") + fraction + "Z";
}

std::string spanText(std::chrono::microseconds span) {
    if (span.count() < 0)
        span = std::chrono::microseconds(0);
    const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(span).count();
    if (seconds == 0) {
        const long long millis =
            std::chrono::duration_cast<std::chrono::milliseconds>(span).count();
        return std::to_string(millis) + "ms";
    }
    const struct {
        long long size;
        const char* unit;
    } units[] = {{86400, " days"}, {3600, "h"}, {60, "min"}, {1, "s"}};
    std::string text;
    long long left = seconds;
    int shown = 0;
    for (const auto& [size, unit] : units) {
        if (left >= size || shown > 0) {
            const long long count = left / size;
            left %= size;
            if (count > 0 || shown > 0) {
                if (count > 0)
                    text += (text.empty() ? "" : " ") + std::to_string(count) +
                            (size == 86400 && count == 1 ? " day" : unit);
                if (++shown == 2)
                    break;
            }
        }
    }
    return text;
}

std::string scriptEndText(const kx::ScriptRecord& script) {
    if (script.signal) {
        const char* name = sigabbrev_np(*script.signal);
        return "signal " + std::to_string(*script.signal) +
               (name ? " (SIG" + std::string(name) + ")" : "");
    }
    if (script.exitStatus)
        return "exit status " + std::to_string(*script.exitStatus);
    return script.ended ? "ended, status unknown" : "did not finish";
}

bool scriptFailed(const kx::ScriptRecord& script) {
    return !(script.exitStatus && *script.exitStatus == 0 && !script.signal);
}

std::vector<std::string> lastLines(std::string_view output, std::size_t count) {
    if (!output.empty() && output.back() == '\n')
        output.remove_suffix(1);
    std::vector<std::string> lines;
    while (!output.empty() && lines.size() < count) {
        const std::size_t start = output.rfind('\n');
        const std::string_view line =
            start == std::string_view::npos ? output : output.substr(start + 1);
        lines.insert(lines.begin(), escapeForTerminal(line));
        output = start == std::string_view::npos ? std::string_view() : output.substr(0, start);
    }
    return lines;
}

Json runJson(const kx::RunRecord& run) {
    Json json = {{"id", run.id},
                 {"set", run.set},
                 {"outcome", std::string(kx::runOutcomeName(run.outcome))},
                 {"started", isoTimeText(run.started)},
                 {"ended", run.ended ? Json(isoTimeText(*run.ended)) : Json()},
                 {"durationSeconds",
                  run.ended ? Json(std::chrono::duration<double>(*run.ended - run.started).count())
                            : Json()},
                 {"pid", run.pid}};
    return json;
}

Json scriptJson(const kx::ScriptRecord& script, bool withOutput) {
    Json json = {{"path", script.path},
                 {"started", isoTimeText(script.started)},
                 {"ended", script.ended ? Json(isoTimeText(*script.ended)) : Json()},
                 {"exitStatus", script.exitStatus ? Json(*script.exitStatus) : Json()},
                 {"signal", script.signal ? Json(*script.signal) : Json()},
                 {"failed", scriptFailed(script)}};
    if (withOutput) {
        json["output"] = script.output; // dumpJson replaces bytes that are not UTF-8
        json["omittedBytes"] = script.omittedBytes;
    }
    return json;
}

} // namespace vivozi
