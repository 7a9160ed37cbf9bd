// Only Linux code lives under platform/linux/.
#include "platform/linux/LazyLibrary.h"

#include <dlfcn.h>

namespace kx {

void* LazyLibrary::symbol(const char* name) {
    // RTLD_LOCAL: its symbols serve our look-ups only, never the host's own resolution.
    std::call_once(opened_, [this] { handle_ = dlopen(soname_, RTLD_NOW | RTLD_LOCAL); });
    return handle_ ? dlsym(handle_, name) : nullptr;
}

} // namespace kx
