// The in-place removal writer: the lines a removal keeps are written over the list
// from its first match on, so that a run cut short between two writes leaves only
// whole lines the list held.
#ifndef SQUEEZE_H
#define SQUEEZE_H

#include <stddef.h>
#include <sys/types.h>

// Writes the lines of the list fd, size bytes, that are not name over it, from first,
// where a line starts, on; the old bytes are read through buf, of buf_size bytes, and
// looked at before a write covers them. Returns the list's new size, or -1 when a read
// or a write failed; wrote says whether anything was written.
off_t squeeze_list(int fd, const char *name, off_t first, off_t size, char *buf, size_t buf_size, bool &wrote);

#endif
