// sw_vers for Linux: the product name, version and build of the running system, read from
// os-release, in the shape the macOS tool prints.
//
//   sw_vers                  ProductName:, ProductVersion:, BuildVersion:, a tab after each colon
//   sw_vers -productName     the name alone (likewise -productVersion, -buildVersion)
//
// VZ_SW_VERS_OS_RELEASE names another os-release file; it exists for this program's own tests
// (the library starts its tools with an empty environment, so it never reaches them).

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/utsname.h>

namespace {

// A value as os-release writes it: bare, or in single or double quotes, where a backslash makes
// the next of $ ` " \ literal.
std::string unquote(std::string_view value) {
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
        value.remove_suffix(1);
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
        return std::string(value.substr(1, value.size() - 2));
    if (value.size() < 2 || value.front() != '"' || value.back() != '"')
        return std::string(value);
    value = value.substr(1, value.size() - 2);
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() &&
            std::string_view("$`\"\\").find(value[i + 1]) != std::string_view::npos)
            ++i;
        text += value[i];
    }
    return text;
}

std::optional<std::map<std::string, std::string>> readOsRelease(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        return std::nullopt;
    std::map<std::string, std::string> fields;
    for (std::string line; std::getline(in, line);) {
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        const std::size_t equals = line.find('=', start);
        if (equals == std::string::npos)
            continue;
        fields[line.substr(start, equals - start)] =
            unquote(std::string_view(line).substr(equals + 1));
    }
    return fields;
}

std::map<std::string, std::string> osRelease() {
    if (const char* path = std::getenv("VZ_SW_VERS_OS_RELEASE"))
        return readOsRelease(path).value_or(std::map<std::string, std::string>{});
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        if (auto fields = readOsRelease(path))
            return *fields;
    }
    return {};
}

std::string field(const std::map<std::string, std::string>& fields, const std::string& name) {
    const auto found = fields.find(name);
    return found == fields.end() ? std::string() : found->second;
}

} // namespace

int main(int argc, char** argv) {
    const std::map<std::string, std::string> fields = osRelease();
    struct utsname system {};
    const std::string kernel = uname(&system) == 0 ? system.release : "";

    std::string name = field(fields, "NAME");
    if (name.empty())
        name = "Linux"; // the default os-release itself prescribes
    std::string version = field(fields, "VERSION_ID");
    if (version.empty())
        version = kernel; // rolling releases carry no version of their own

    if (argc == 1) {
        std::printf("ProductName:\t%s\nProductVersion:\t%s\nBuildVersion:\t%s\n", name.c_str(),
                    version.c_str(), kernel.c_str());
        return 0;
    }
    const std::string_view option = argv[1];
    if (argc == 2 && option == "-productName")
        std::printf("%s\n", name.c_str());
    else if (argc == 2 && option == "-productVersion")
        std::printf("%s\n", version.c_str());
    else if (argc == 2 && option == "-buildVersion")
        std::printf("%s\n", kernel.c_str());
    else {
        std::fprintf(stderr, "usage: sw_vers [-productName | -productVersion | -buildVersion]\n");
        return 1;
    }
    return 0;
}
