// The whole-line search: a line equal to the name is a line feed (or the start), the
// name's bytes, and a line feed exactly len + 1 bytes after the first one. Both line
// feeds are tested 16 positions at a time, then the name's last byte, and each
// candidate left is confirmed with memcmp.
#include "find_line.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr size_t WIDTH = 16;
using bytes = char __attribute__((vector_size(WIDTH)));

bytes load(const char *p)
{
	bytes v;
	memcpy(&v, p, WIDTH);
	return v;
}

bool is_zero(bytes v)
{
	uint64_t halves[2];
	memcpy(halves, &v, WIDTH);
	return (halves[0] | halves[1]) == 0;
}

// Bytes 8k to 8k + 7 of v, the first in the lowest bits: swapped on a big-endian
// machine, so that ctz / 8 counts bytes on either byte order.
uint64_t half(bytes v, size_t k)
{
	uint64_t h;
	memcpy(&h, reinterpret_cast<const char *>(&v) + 8 * k, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
	h = __builtin_bswap64(h);
#endif
	return h;
}

// The positions in p[0, WIDTH) of a line feed with another one len + 1 bytes on.
bytes line_feed_pairs(const char *p, size_t len, bytes nl)
{
	return (load(p) == nl) & (load(p + len + 1) == nl);
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
		bytes c0 = line_feed_pairs(p, len, nl);
		bytes c1 = line_feed_pairs(p + WIDTH, len, nl);
		bytes c2 = line_feed_pairs(p + 2 * WIDTH, len, nl);
		bytes c3 = line_feed_pairs(p + 3 * WIDTH, len, nl);
		if (is_zero(c0 | c1 | c2 | c3))
			continue;
		c0 &= load(p + len) == last;
		c1 &= load(p + WIDTH + len) == last;
		c2 &= load(p + 2 * WIDTH + len) == last;
		c3 &= load(p + 3 * WIDTH + len) == last;
		if (is_zero(c0 | c1 | c2 | c3))
			continue;
		const bytes hits[] = {c0, c1, c2, c3};
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
