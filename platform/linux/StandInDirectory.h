// Only Linux code lives under platform/linux/: here, where the stand-ins for the system tools lie.
#pragma once

#include <string>

namespace kx {

// The folder holding the Linux stand-ins for the system tools: the one installed beside the
// loaded library (<libdir>/../libexec/VivoziZevidodirid) when there is one, else the build
// tree's when this code runs from the build tree, else the configured prefix's.
std::string standInDirectory();

} // namespace kx
