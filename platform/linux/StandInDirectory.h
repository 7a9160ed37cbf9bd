#pragma once

#include <string>

namespace kx {

// The folder holding the Linux stand-ins for the system tools: the build tree's when this code
// runs from the build tree, the install prefix's otherwise.
std::string standInDirectory();

} // namespace kx
