#pragma once

#include <VivoziZevidodirid/PlistValue.h>
#include <string>

namespace vzfuzz {

// Stops the run with the failed condition, in every build type (assert may be compiled out).
[[noreturn]] void fail(const char* condition, const char* file, int line);

#define VZ_FUZZ_CHECK(condition)                                                                   \
    ((condition) ? void() : ::vzfuzz::fail(#condition, __FILE__, __LINE__))

// A private folder for this process, removed at exit, with a defaults store whose version cache
// already holds 13.5: queries gated on the version read the store and never start a tool. Every
// tool path points at a missing file and the mount table at <folder>/mounts.
const std::string& privateSystem();

// What every parsed tree must allow: every string and key is text the input really held (UTF-8
// without a NUL, at which it would have been cut, a surrogate or a code point past U+10FFFF); its
// XML form reads back to a tree with the same XML form (the defaults store and the disk tool's
// stand-in rely on it); its description and deep copy can be made, and the copy writes the same
// XML.
void checkParsed(const PlistValue& value);

} // namespace vzfuzz
