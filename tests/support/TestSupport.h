#pragma once

#include <VivoziZevidodirid/SystemPaths.h>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace vztest {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

void writeFile(const std::string& path, std::string_view content);
std::string readFile(const std::string& path); // "" when it cannot be read
bool fileExists(const std::string& path);
// Writes an executable shell script; "#!/bin/sh" is added.
void writeScript(const std::string& path, std::string_view body);
std::vector<std::string> lines(const std::string& text); // without their line feeds
bool processAlive(pid_t pid);                            // a zombie counts as ended
// Whether any child of this process still runs or has not been reaped.
bool hasUnreapedChild();
// Polls every 5 ms until condition holds or the time is up; the last answer.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds within = std::chrono::seconds(30));

// Replaces the system-path table for one scope and puts the previous one back afterwards.
class ScopedSystemPaths {
public:
    ScopedSystemPaths(); // keeps the table in force, to be changed through set()
    ~ScopedSystemPaths();
    // Sets one entry and applies the table at once.
    template <class T, class U> ScopedSystemPaths& set(T kx::SystemPaths::*entry, U&& value) {
        current_.*entry = std::forward<U>(value);
        kx::setSystemPaths(current_);
        return *this;
    }

private:
    kx::SystemPaths saved_;
    kx::SystemPaths current_;
};

} // namespace vztest
