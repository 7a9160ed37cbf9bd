#pragma once

// What vivozi writes to its standard streams. Through stdio rather than iostreams: setting up
// iostreams cost every run of a short query about 4% of its time.

#include <charconv>
#include <concepts>
#include <cstdio>
#include <string_view>

namespace vivozi {

template <class T>
concept WholeNumber = std::integral<T> && !std::same_as<T, char> && !std::same_as<T, bool>;

// Text written to a stdio stream as is; whole numbers in decimal.
class Stream {
public:
    explicit constexpr Stream(std::FILE* const* file) : file_(file) {}
    const Stream& operator<<(std::string_view text) const {
        std::fwrite(text.data(), 1, text.size(), *file_);
        return *this;
    }
    const Stream& operator<<(char c) const {
        std::fputc(static_cast<unsigned char>(c), *file_);
        return *this;
    }
    const Stream& operator<<(WholeNumber auto number) const {
        char text[24];
        return *this << std::string_view(text, std::to_chars(text, text + sizeof text, number).ptr);
    }
    void flush() const { std::fflush(*file_); }

private:
    std::FILE* const* file_;
};

inline constexpr Stream out{&stdout};
inline constexpr Stream err{&stderr};

// Flushes standard output. After a write error, says so in one line on standard error and
// answers kExitFailure in place of a success; any other status stands.
int finishOutput(int status);

} // namespace vivozi
