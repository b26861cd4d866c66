// The whole-line search: a line equal to the name is a line feed (or the start), the
// name's bytes, and a line feed exactly len + 1 bytes after the first one. Both line
// feeds are tested 16 positions at a time, then the name's last byte, and each
// candidate left is confirmed with memcmp.
#include "find_line.h"

#include <stdint.h>
#include <string.h>

namespace {

constexpr size_t WIDTH = 16;
using bytes = char __attribute__((vector_size(WIDTH)));

// Vectors go in and out of the helpers by reference: by value they would travel in
// SSE registers, an ABI of its own where there are none, as on Debian's i386.
void load(bytes &v, const char *p)
{
	memcpy(&v, p, WIDTH);
}

bool is_zero(const bytes &v)
{
	uint64_t halves[2];
	memcpy(halves, &v, WIDTH);
	return (halves[0] | halves[1]) == 0;
}

// Bytes 8k to 8k + 7 of v, the first in the lowest bits: swapped on a big-endian
// machine, so that ctz / 8 counts bytes on either byte order.
uint64_t half(const bytes &v, size_t k)
{
	uint64_t h;
	memcpy(&h, reinterpret_cast<const char *>(&v) + 8 * k, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
	h = __builtin_bswap64(h);
#endif
	return h;
}

// Marks the positions in p[0, WIDTH) of a line feed with another one len + 1 bytes on.
void mark_pairs(bytes &marks, const char *p, size_t len, const bytes &nl)
{
	bytes first;
	bytes second;
	load(first, p);
	load(second, p + len + 1);
	marks = (first == nl) & (second == nl);
}

// Keeps the marks of the lines that would end in the name's last byte.
void keep_last_byte(bytes &marks, const char *p, size_t len, const bytes &last)
{
	bytes end;
	load(end, p + len);
	marks &= end == last;
}

// The first line equal to the name among the candidates, the line feeds marked in
// the bytes of hits = the 8 bytes at buf + q; or 0, which no line after a line feed
// starts at.
size_t confirm(const char *buf, size_t q, uint64_t hits, const char *name, size_t len)
{
	for (uint64_t m = hits & 0x0101010101010101U; m != 0; m &= m - 1) {
		size_t at = q + static_cast<size_t>(__builtin_ctzll(m)) / 8 + 1;
		if (memcmp(buf + at, name, len) == 0)
			return at;
	}
	return 0;
}

bool is_name_at(const char *buf, size_t at, const char *name, size_t len)
{
	return buf[at + len] == '\n' && memcmp(buf + at, name, len) == 0;
}

} // namespace

size_t find_line(const char *buf, size_t from, size_t end, const char *name, size_t len)
{
	if (from + len >= end)
		return end;
	if (is_name_at(buf, from, name, len))
		return from;
	const bytes nl = bytes{} + '\n';
	const char end_byte = len > 0 ? name[len - 1] : '\n';
	const bytes last = bytes{} + end_byte;
	// q is the line feed before a candidate line. Four vectors a round, so that a round
	// with no pair of line feeds costs one branch. The last byte is tested only in the
	// rounds with a pair, where lines as long as the name, as numbered names are, would
	// otherwise each go to memcmp.
	size_t q = from;
	for (; q + len + 1 + 4 * WIDTH <= end; q += 4 * WIDTH) {
		const char *p = buf + q;
		bytes c[4];
		mark_pairs(c[0], p, len, nl);
		mark_pairs(c[1], p + WIDTH, len, nl);
		mark_pairs(c[2], p + 2 * WIDTH, len, nl);
		mark_pairs(c[3], p + 3 * WIDTH, len, nl);
		if (is_zero(c[0] | c[1] | c[2] | c[3]))
			continue;
		keep_last_byte(c[0], p, len, last);
		keep_last_byte(c[1], p + WIDTH, len, last);
		keep_last_byte(c[2], p + 2 * WIDTH, len, last);
		keep_last_byte(c[3], p + 3 * WIDTH, len, last);
		if (is_zero(c[0] | c[1] | c[2] | c[3]))
			continue;
		// A copy, so that c, indexed only by constants, stays in registers.
		const bytes hits[] = {c[0], c[1], c[2], c[3]};
		for (size_t k = 0; k < 4; k++) {
			if (size_t at = confirm(buf, q + k * WIDTH, half(hits[k], 0), name, len))
				return at;
			if (size_t at = confirm(buf, q + k * WIDTH + 8, half(hits[k], 1), name, len))
				return at;
		}
	}
	for (; q + len + 1 < end; q++)
		if (buf[q] == '\n' && is_name_at(buf, q + 1, name, len))
			return q + 1;
	return end;
}
