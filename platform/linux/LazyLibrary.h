// Only Linux code lives under platform/linux/: a system library opened on its first use.
#pragma once

#include <mutex>

namespace kx {

// What a short query does not use, it does not load: opening ICU, SQLite and their relocations
// took most of the start-up of a `vivozi` command that needs neither. The library is opened
// once, by the soname the build was made against, and never closed.
class LazyLibrary {
public:
    constexpr explicit LazyLibrary(const char* soname) : soname_(soname) {}
    LazyLibrary(const LazyLibrary&) = delete;
    LazyLibrary& operator=(const LazyLibrary&) = delete;

    // Null when the library cannot be opened or lacks the symbol.
    void* symbol(const char* name);

private:
    const char* soname_;
    std::once_flag opened_;
    void* handle_ = nullptr;
};

} // namespace kx

#define KX_LAZY_STRINGIFY_(text) #text
#define KX_LAZY_STRINGIFY(text) KX_LAZY_STRINGIFY_(text)

// The body of a stand-in for the C function `name` of `library`: the real one, found on the first
// call, or `fallback` when it cannot be had. `name` is expanded first, so a versioned ICU name
// (u_charType → u_charType_72) is looked up as the library spells it.
#define KX_LAZY_FORWARD(library, name, fallback, ...)                                              \
    static const auto real =                                                                       \
        reinterpret_cast<decltype(&name)>((library).symbol(KX_LAZY_STRINGIFY(name)));              \
    if (!real)                                                                                     \
        return fallback;                                                                           \
    return real(__VA_ARGS__)
