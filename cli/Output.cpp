#include "cli/Output.h"

#include "cli/Commands.h"

#include <cerrno>
#include <cstring>

namespace vivozi {

int finishOutput(int status) {
    errno = 0;
    const bool flushFailed = std::fflush(stdout) != 0;
    const int error = flushFailed ? errno : 0;
    if (!flushFailed && !std::ferror(stdout))
        return status;
    // An earlier failed write left no errno behind; a flush that failed just now did.
    err << "vivozi: write error";
    if (error)
        err << ": " << std::strerror(error);
    err << '\n';
    return status == kExitSuccess ? kExitFailure : status;
}

} // namespace vivozi
