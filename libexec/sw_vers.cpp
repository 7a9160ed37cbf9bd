// sw_vers for Linux: the product name, version and build of the running system, read from
// os-release, in the shape the macOS tool prints.
//
//   sw_vers                  ProductName:, ProductVersion:, BuildVersion:, a tab after each colon
//   sw_vers -productName     the name alone (likewise -productVersion, -buildVersion)
//
// Readers split each line at its first colon and take ASCII text only, so every value is printed
// as plain ASCII without control characters, colons or white space at its ends.

#include "platform/files/Descriptor.h"
#include "platform/linux/VersionSources.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unistd.h>

namespace {

// Far above any real os-release; a larger file is read up to here.
constexpr std::size_t kMaxFileBytes = 64 * 1024;

// The file's first kMaxFileBytes; nullopt when it is missing or not a regular file (a FIFO or a
// device would be waited on, or never end).
// A read error keeps what came before it.
std::optional<std::string> readSmallFile(const char* path) {
    const kx::FileDescriptor fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    std::string bytes;
    kx::readAll(fd.get(), bytes, kMaxFileBytes);
    return bytes;
}

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

std::map<std::string, std::string> osRelease() {
    for (const char* path : kx::kOsReleasePaths) {
        const std::optional<std::string> text = readSmallFile(path);
        if (!text)
            continue;
        std::map<std::string, std::string> fields;
        for (std::size_t start = 0; start < text->size();) {
            const std::size_t end = std::min(text->find('\n', start), text->size());
            const std::string_view line = std::string_view(*text).substr(start, end - start);
            start = end + 1;
            const std::size_t first = line.find_first_not_of(" \t");
            if (first == std::string_view::npos || line[first] == '#')
                continue;
            const std::size_t equals = line.find('=', first);
            if (equals != std::string_view::npos)
                fields[std::string(line.substr(first, equals - first))] =
                    unquote(line.substr(equals + 1));
        }
        return fields;
    }
    return {};
}

// Latin letters for any script, then the nearest ASCII for each; built only for text that needs
// it, since loading the rules costs more than the rest of the program.
icu::Transliterator* toAscii() {
    static const std::unique_ptr<icu::Transliterator> transliterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Transliterator> made(
            icu::Transliterator::createInstance("Any-Latin; Latin-ASCII", UTRANS_FORWARD, status));
        return U_SUCCESS(status) ? std::move(made) : nullptr;
    }();
    return transliterator.get();
}

// The value as a reader of "name: value" lines gets it back: ASCII (transliterated, "?" where
// nothing is near), no control or format characters, a colon as ";", no spaces at either end.
std::string printable(std::string_view value) {
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(value.data(), static_cast<int32_t>(value.size())));
    const bool ascii = std::all_of(value.begin(), value.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii && toAscii())
        toAscii()->transliterate(text);
    std::string out;
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        const UChar32 c = text.char32At(i);
        const int8_t type = u_charType(c);
        if (type == U_CONTROL_CHAR || type == U_FORMAT_CHAR)
            continue;
        out += c == ':' ? ';' : c < 0x80 ? static_cast<char>(c) : '?';
    }
    const std::size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

std::string field(const std::map<std::string, std::string>& fields, const std::string& name) {
    const auto found = fields.find(name);
    return found == fields.end() ? std::string() : printable(found->second);
}

// Debian keeps its point release ("12.11") beside os-release's "12"; other text there (a
// testing release's "trixie/sid") is not a version of this one.
std::string finerVersion(const std::string& version) {
    const std::optional<std::string> text = readSmallFile(kx::kDebianVersionPath);
    if (version.empty() || !text)
        return version;
    const std::string finer = printable(text->substr(0, text->find('\n')));
    return finer.starts_with(version + ".") ? finer : version;
}

} // namespace

int main(int argc, char** argv) {
    const std::map<std::string, std::string> fields = osRelease();
    struct utsname system {};
    const std::string kernel = uname(&system) == 0 ? printable(system.release) : "";

    std::string name = field(fields, "NAME");
    if (name.empty())
        name = "Linux"; // the default os-release itself prescribes
    std::string version = finerVersion(field(fields, "VERSION_ID"));
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
