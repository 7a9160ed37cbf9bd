#pragma once

// Reading and writing whole descriptors. Every read and write of the library goes through here,
// so that EINTR is retried in one place.

#include <VivoziZevidodirid/FileDescriptor.h>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kx {

// One read(2) into buffer, retried while it is interrupted: the count read, 0 at end of file,
// -1 with errno set on an error.
ssize_t readSome(int fd, char* buffer, std::size_t count);

// Appends what fd holds, up to end of file, to bytes. Stops once bytes holds limit bytes (the
// rest is left unread) and then returns true. False on a read error, with what came before it
// kept in bytes.
bool readAll(int fd, std::string& bytes,
             std::size_t limit = std::numeric_limits<std::size_t>::max());

// As readAll, from offset to end of file through pread(2): the descriptor's own position is
// neither used nor moved, whoever else shares it.
bool readAllAt(int fd, off_t offset, std::string& bytes);

// Writes all of bytes; false when a write fails (errno set) or writes nothing.
bool writeAll(int fd, std::string_view bytes);

} // namespace kx
