// The search for a whole line equal to a name: in a buffer of whole lines, and across
// buffer fills for a line that straddles them.
#ifndef FIND_LINE_H
#define FIND_LINE_H

#include <stddef.h>
#include <string.h>

// Returns where the first line in buf[from, end) equal to name[0, len) starts, or
// end. from starts a line and buf[end - 1] is a line feed.
size_t find_line(const char *buf, size_t from, size_t end, const char *name, size_t len);

// A line can straddle two buffer fills: this is what is known of the current one.
struct line_scan {
	const char *name;
	size_t len;      // of name
	size_t line_len; // bytes of the current line seen so far
	bool candidate;  // those bytes are how name begins
};

inline void new_line(line_scan &s)
{
	s.line_len = 0;
	s.candidate = true;
}

// The next n bytes of the current line are p[0, n).
inline void extend_line(line_scan &s, const char *p, size_t n)
{
	s.candidate = s.candidate && s.line_len + n <= s.len && memcmp(p, s.name + s.line_len, n) == 0;
	s.line_len += n;
}

inline bool line_matches(const line_scan &s)
{
	return s.candidate && s.line_len == s.len;
}

#endif
