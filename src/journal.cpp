// The rollback journal in the writers' lock file. It is empty between runs; during a
// removal it holds a header and the list's old bytes from the first match on. The
// header is little-endian with 64-bit fields, so that the bytes are the same on every
// machine. A checksum over the header and the bytes tells a whole journal from one a
// crash tore; an empty lock file is the only mark of a finished change, so no later
// change can look like an unfinished one.
#include "journal.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// The kernel's, as <linux/fs.h> has it; musl's headers leave the kernel's out.
#ifndef FS_IOC_GETVERSION
#define FS_IOC_GETVERSION _IOR('v', 1, long)
#endif

namespace {

constexpr unsigned char MAGIC[8] = {'v', 'n', 'P', 'L', 'j', 'r', 'n', '1'};
constexpr size_t HEADER_SIZE = 56; // the magic, then six 64-bit fields
enum { F_INODE, F_GENERATION, F_DEVICE, F_FROM, F_SIZE, F_SUM, FIELDS };

// The list a journal belongs to. Device numbers change between boots, so a list on the
// lock file's file system is known by inode and generation alone (device 0); one
// elsewhere also by its device, and a journal for it counts within one boot only.
struct identity {
	uint64_t inode;
	uint64_t generation;
	uint64_t device;
};

struct header {
	identity id;
	off_t from; // where the saved bytes go back
	off_t size; // the list's size before
	uint64_t sum;
};

// A word-at-a-time hash, with the bytes read as little-endian words on every machine.
struct checksum {
	uint64_t h;
	uint64_t word; // bytes not yet mixed in
	unsigned held; // how many
};

void mix(checksum &c, uint64_t w)
{
	c.h = (c.h ^ w) * 0x9e3779b97f4a7c15ULL;
	c.h ^= c.h >> 29;
}

uint64_t load_le(const unsigned char *p)
{
	uint64_t w = 0;
	for (int i = 7; i >= 0; i--)
		w = w << 8 | p[i];
	return w;
}

void add_bytes(checksum &c, const void *data, size_t n)
{
	const auto *p = static_cast<const unsigned char *>(data);
	while (n > 0) {
		if (c.held == 0 && n >= 8) {
			mix(c, load_le(p));
			p += 8;
			n -= 8;
			continue;
		}
		c.word |= static_cast<uint64_t>(*p++) << (8 * c.held);
		n--;
		if (++c.held == 8) {
			mix(c, c.word);
			c.word = 0;
			c.held = 0;
		}
	}
}

uint64_t sum_of(checksum c)
{
	mix(c, c.word ^ (static_cast<uint64_t>(c.held) << 56));
	return c.h;
}

void put_le(unsigned char *p, uint64_t v)
{
	for (int i = 0; i < 8; i++, v >>= 8)
		p[i] = static_cast<unsigned char>(v);
}

void encode(const header &h, unsigned char *out)
{
	memcpy(out, MAGIC, sizeof MAGIC);
	const uint64_t fields[FIELDS] = {h.id.inode, h.id.generation, h.id.device, static_cast<uint64_t>(h.from),
	                                 static_cast<uint64_t>(h.size), h.sum};
	for (size_t i = 0; i < FIELDS; i++)
		put_le(out + sizeof MAGIC + 8 * i, fields[i]);
}

bool decode(const unsigned char *in, header &h)
{
	uint64_t f[FIELDS];
	for (size_t i = 0; i < FIELDS; i++)
		f[i] = load_le(in + sizeof MAGIC + 8 * i);
	h = {{f[F_INODE], f[F_GENERATION], f[F_DEVICE]}, static_cast<off_t>(f[F_FROM]), static_cast<off_t>(f[F_SIZE]),
	     f[F_SUM]};
	return memcmp(in, MAGIC, sizeof MAGIC) == 0 && h.from >= 0 && h.size >= h.from;
}

// The checksum covers the header up to the sum itself.
checksum start_sum(const unsigned char *encoded)
{
	checksum c = {0x6a09e667f3bcc908ULL, 0, 0};
	add_bytes(c, encoded, HEADER_SIZE - 8);
	return c;
}

bool identify(int list, int journal, identity &id)
{
	struct stat l;
	struct stat j;
	if (fstat(list, &l) != 0 || fstat(journal, &j) != 0)
		return false;
	int generation = 0; // the kernel writes an int; 0 where the file system keeps none
	const unsigned request = FS_IOC_GETVERSION; // an int to musl, an unsigned long to glibc
	if (ioctl(list, request, &generation) != 0)
		generation = 0;
	id = {l.st_ino, static_cast<uint32_t>(generation), l.st_dev == j.st_dev ? 0 : static_cast<uint64_t>(l.st_dev)};
	return true;
}

// Reads n bytes at `at`: 1, or 0 where the file ends first, or -1 on an error.
int read_some(int fd, char *buf, size_t n, off_t at)
{
	for (ssize_t r; n > 0; buf += r, n -= static_cast<size_t>(r), at += r)
		if ((r = pread(fd, buf, n, at)) <= 0)
			return r < 0 ? -1 : 0;
	return 1;
}

bool read_at(int fd, char *buf, size_t n, off_t at)
{
	return read_some(fd, buf, n, at) == 1;
}

bool write_at(int fd, const char *buf, size_t n, off_t at)
{
	for (ssize_t w; n > 0; buf += w, n -= static_cast<size_t>(w), at += w)
		if ((w = pwrite(fd, buf, n, at)) <= 0)
			return false;
	return true;
}

size_t chunk(off_t left, size_t buf_size)
{
	return left < static_cast<off_t>(buf_size) ? static_cast<size_t>(left) : buf_size;
}

enum journal_state { TORN, WHOLE, UNREADABLE };

// Reads a journal and checks it whole: its header, its length, its checksum. One that
// cannot be read (a caller who may only write the lock file, an I/O error) may be whole.
journal_state read_whole(int journal, header &h, char *buf, size_t buf_size)
{
	unsigned char raw[HEADER_SIZE];
	struct stat st;
	const int got = read_some(journal, reinterpret_cast<char *>(raw), HEADER_SIZE, 0);
	if (got < 0 || fstat(journal, &st) != 0)
		return UNREADABLE;
	if (got == 0 || !decode(raw, h) || st.st_size != static_cast<off_t>(HEADER_SIZE) + (h.size - h.from))
		return TORN;
	checksum c = start_sum(raw);
	for (off_t at = h.from; at < h.size;) {
		const size_t n = chunk(h.size - at, buf_size);
		if (read_some(journal, buf, n, static_cast<off_t>(HEADER_SIZE) + (at - h.from)) != 1)
			return UNREADABLE;
		add_bytes(c, buf, n);
		at += static_cast<off_t>(n);
	}
	return sum_of(c) == h.sum ? WHOLE : TORN;
}

// Copies the saved bytes back over the list and gives it its old size, on disk.
bool put_back(int journal, int list, const header &h, char *buf, size_t buf_size)
{
	for (off_t at = h.from; at < h.size;) {
		const size_t n = chunk(h.size - at, buf_size);
		if (!read_at(journal, buf, n, static_cast<off_t>(HEADER_SIZE) + (at - h.from)) ||
		    !write_at(list, buf, n, at))
			return false;
		at += static_cast<off_t>(n);
	}
	return ftruncate(list, h.size) == 0 && fdatasync(list) == 0;
}

bool same(const identity &a, const identity &b)
{
	return a.inode == b.inode && a.generation == b.generation && a.device == b.device;
}

// A journal that failed before its header was written can never read as whole: it is
// cut off, and the removal goes on without one where only room was lacking.
saved_journal give_up(int journal, int error)
{
	const bool no_room = error == ENOSPC || error == EDQUOT || error == EFBIG;
	return (ftruncate(journal, 0) == 0 && no_room) ? JOURNAL_NO_ROOM : JOURNAL_FAILED;
}

} // namespace

saved_journal save_journal(int journal, int list, off_t from, off_t size, char *buf, size_t buf_size)
{
	header h = {{}, from, size, 0};
	if (!identify(list, journal, h.id))
		return JOURNAL_FAILED;
	unsigned char raw[HEADER_SIZE];
	encode(h, raw);
	checksum c = start_sum(raw);
	for (off_t at = from; at < size;) {
		const size_t n = chunk(size - at, buf_size);
		if (!read_at(list, buf, n, at))
			return give_up(journal, 0);
		add_bytes(c, buf, n);
		if (!write_at(journal, buf, n, static_cast<off_t>(HEADER_SIZE) + (at - from)))
			return give_up(journal, errno);
		at += static_cast<off_t>(n);
	}
	h.sum = sum_of(c);
	encode(h, raw);
	// Once the header is written the journal may be whole on disk: a failure then
	// changes nothing, and a journal left would only put back the bytes still there.
	if (!write_at(journal, reinterpret_cast<const char *>(raw), HEADER_SIZE, 0) || fdatasync(journal) != 0) {
		if (ftruncate(journal, 0) != 0) {
		}
		return JOURNAL_FAILED;
	}
	return h.id.device == 0 ? JOURNAL_SAVED : JOURNAL_VOLATILE;
}

bool roll_back(int journal, int list, char *buf, size_t buf_size)
{
	header h;
	identity now;
	const journal_state state = read_whole(journal, h, buf, buf_size);
	if (state == UNREADABLE || (state == WHOLE && list >= 0 && identify(list, journal, now) && same(now, h.id) &&
	                            !put_back(journal, list, h, buf, buf_size)))
		return false;
	return clear_journal(journal);
}

bool clear_journal(int journal)
{
	return ftruncate(journal, 0) == 0 && fdatasync(journal) == 0;
}

int journal_held(int journal)
{
	struct stat st;
	return fstat(journal, &st) != 0 ? -1 : st.st_size > 0;
}
