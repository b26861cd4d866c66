// Reading and writing whole at an offset, as every part of a change does, and the size
// of the buffers a list streams through.
#ifndef FILE_IO_H
#define FILE_IO_H

#include <stddef.h>
#include <sys/types.h>
#include <sys/uio.h>

// The fuzz build makes it small, so that lines straddle fills all the time.
#ifndef PRINTLIST_BUFFER_SIZE
#define PRINTLIST_BUFFER_SIZE 65536
#endif
inline constexpr size_t BUFFER_SIZE = PRINTLIST_BUFFER_SIZE;

// How much of left bytes one buffer of most bytes takes: a count of a 64-bit file's
// bytes never passes through a narrower size_t.
inline size_t chunk(off_t left, size_t most)
{
	return left < static_cast<off_t>(most) ? static_cast<size_t>(left) : most;
}

// Reads n bytes at `at`; false on an error, or where the file ends first.
bool read_at(int fd, char *buf, size_t n, off_t at);

// Writes the count pieces of iov whole at off, going on after a short write until one
// fails. The pieces are used up.
bool write_all(int fd, iovec *iov, int count, off_t off);

// Whether writes up to size bytes stay within the caller's file size limit.
bool fits_size_limit(off_t size);

#endif
