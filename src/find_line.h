// The search for a whole line equal to a name, in a buffer of whole lines.
#ifndef FIND_LINE_H
#define FIND_LINE_H

#include <stddef.h>

// Returns where the first line in buf[from, end) equal to name[0, len) starts, or
// end. from starts a line and buf[end - 1] is a line feed.
size_t find_line(const char *buf, size_t from, size_t end, const char *name, size_t len);

#endif
