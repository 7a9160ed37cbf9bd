#include "cli/Output.h"

#include "cli/Commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace vivozi {

int finishOutput(int status) {
    errno = 0;
    const bool flushFailed = std::fflush(stdout) != 0;
    const int error = flushFailed ? errno : 0;
    if (!flushFailed && !std::ferror(stdout) && std::cout.good())
        return status;
    // An earlier failed write left no errno behind; a flush that failed just now did.
    std::cerr << "vivozi: write error" << (error ? std::string(": ") + std::strerror(error) : "")
              << '\n';
    return status == kExitSuccess ? kExitFailure : status;
}

} // namespace vivozi
