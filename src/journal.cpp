// The rollback journal in the writers' lock file. It is empty between runs; during a
// removal it holds a header and the list's old bytes from the first match on. The
// header is little-endian 64-bit fields, so that the bytes are the same on every
// machine. A checksum over the header and the bytes tells a whole journal from one a
// crash tore; an empty lock file is the only mark of a finished change, so no later
// change can look like an unfinished one.
#include "journal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "file_io.h"

// The kernel's, as <linux/fs.h> has it; musl's headers leave the kernel's out.
#ifndef FS_IOC_GETVERSION
#define FS_IOC_GETVERSION _IOR('v', 1, long)
#endif

namespace {

constexpr unsigned char MAGIC[8] = {'v', 'n', 'P', 'L', 'j', 'r', 'n', '2'};

// The list a journal belongs to, then where its bytes go back. Numbers the kernel hands
// out again do not tell lists apart alone: a list on the lock file's file system with
// an inode generation is known by inode and generation (device 0); any other also by
// its device and by this boot. Every journal is also bound to a checksum of the list's
// last bytes before `from`, which a removal never changes.
enum { F_INODE, F_GENERATION, F_DEVICE, F_BOOT, F_BEFORE, F_FROM, F_SIZE, F_SUM, FIELDS };
constexpr size_t HEADER_SIZE = sizeof MAGIC + sizeof(uint64_t) * FIELDS;
constexpr off_t BEFORE_BYTES = 4096;

using header = uint64_t[FIELDS];

char buf[BUFFER_SIZE]; // the bytes between the list and the journal

// How many bytes before `from` bind a journal: a few KiB, read with the first half
// buffer of the bytes saved.
size_t before_bytes(off_t from)
{
	return chunk(from < BEFORE_BYTES ? from : BEFORE_BYTES, sizeof buf / 2);
}

// A word-at-a-time hash, with the bytes read as little-endian words on every machine.
// Only the last piece summed may end inside a word: the header and every buffer, and
// half of one, are whole words.
static_assert(BUFFER_SIZE % 16 == 0);
constexpr uint64_t SEED = 0x6a09e667f3bcc908ULL;

uint64_t load_le(const unsigned char *p)
{
	uint64_t w = 0;
	for (int i = 7; i >= 0; i--)
		w = w << 8 | p[i];
	return w;
}

void add_bytes(uint64_t &h, const void *data, size_t n)
{
	unsigned char last[8] = {};
	const auto *p = static_cast<const unsigned char *>(data);
	for (size_t at = 0; at < n; at += 8) {
		const bool whole = n - at >= 8;
		if (!whole)
			memcpy(last, p + at, n - at);
		h = (h ^ (whole ? load_le(p + at) : load_le(last) ^ static_cast<uint64_t>(n - at) << 56)) *
		    0x9e3779b97f4a7c15ULL;
		h ^= h >> 29;
	}
}

uint64_t sum_bytes(const char *p, size_t n)
{
	uint64_t h = SEED;
	add_bytes(h, p, n);
	return h;
}

void encode(const header h, unsigned char *out)
{
	memcpy(out, MAGIC, sizeof MAGIC);
	for (size_t i = 0; i < FIELDS; i++)
		for (size_t b = 0; b < 8; b++)
			out[sizeof MAGIC + 8 * i + b] = static_cast<unsigned char>(h[i] >> (8 * b));
}

// The checksum covers the header up to the sum itself, then the bytes.
uint64_t start_sum(const unsigned char *encoded)
{
	uint64_t h = SEED;
	add_bytes(h, encoded, HEADER_SIZE - 8);
	return h;
}

// This boot's, hashed; where there is none to read, a journal that needs it never
// matches one saved before.
uint64_t boot_id()
{
	char id[64];
	const int fd = openat(AT_FDCWD, "/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
	const ssize_t n = fd >= 0 ? read(fd, id, sizeof id) : -1;
	if (fd >= 0)
		close(fd);
	return n > 0 ? sum_bytes(id, static_cast<size_t>(n)) : 0;
}

void identify(int list, const struct stat &l, const struct stat &j, header h)
{
	int generation = 0; // the kernel writes an int; 0 where the file system keeps none
	const unsigned request = FS_IOC_GETVERSION; // an int to musl, an unsigned long to glibc
	if (ioctl(list, request, &generation) != 0)
		generation = 0;
	h[F_INODE] = l.st_ino;
	h[F_GENERATION] = static_cast<uint32_t>(generation);
	h[F_DEVICE] = l.st_dev == j.st_dev ? 0 : static_cast<uint64_t>(l.st_dev);
	h[F_BOOT] = h[F_DEVICE] != 0 || generation == 0 ? boot_id() : 0;
}

// Whether a journal's header and bytes are whole: its length, no hole a crash or
// anyone else left, its checksum. One that cannot be read (a caller who may only
// write the lock file, an I/O error) may be whole.
enum journal_state { TORN, WHOLE, UNREADABLE };

journal_state read_whole(int journal, header h)
{
	unsigned char raw[HEADER_SIZE];
	struct stat st;
	if (fstat(journal, &st) != 0)
		return UNREADABLE;
	if (st.st_size < static_cast<off_t>(HEADER_SIZE))
		return TORN;
	if (!read_at(journal, reinterpret_cast<char *>(raw), HEADER_SIZE, 0))
		return UNREADABLE;
	for (size_t i = 0; i < FIELDS; i++)
		h[i] = load_le(raw + sizeof MAGIC + 8 * i);
	const auto from = static_cast<off_t>(h[F_FROM]);
	const auto size = static_cast<off_t>(h[F_SIZE]);
	const off_t hole = lseek(journal, 0, SEEK_HOLE);
	if (memcmp(raw, MAGIC, sizeof MAGIC) != 0 || from < 0 || size < from ||
	    st.st_size != static_cast<off_t>(HEADER_SIZE) + (size - from) || (hole >= 0 && hole < st.st_size))
		return TORN;
	uint64_t c = start_sum(raw);
	for (off_t at = from; at < size;) {
		const size_t n = chunk(size - at, sizeof buf);
		if (!read_at(journal, buf, n, static_cast<off_t>(HEADER_SIZE) + (at - from)))
			return UNREADABLE;
		add_bytes(c, buf, n);
		at += static_cast<off_t>(n);
	}
	return c == h[F_SUM] ? WHOLE : TORN;
}

// Whether the journal was saved from this list, in this boot where that counts: a
// removal never leaves the list shorter than where its bytes go back, nor changes the
// bytes before that.
bool belongs(const header h, int journal, int list)
{
	struct stat l;
	struct stat j;
	header now = {};
	if (fstat(list, &l) != 0 || fstat(journal, &j) != 0)
		return false;
	identify(list, l, j, now);
	const auto from = static_cast<off_t>(h[F_FROM]);
	const size_t k = before_bytes(from);
	return now[F_INODE] == h[F_INODE] && now[F_GENERATION] == h[F_GENERATION] && now[F_DEVICE] == h[F_DEVICE] &&
	       now[F_BOOT] == h[F_BOOT] && from <= l.st_size && read_at(list, buf, k, from - static_cast<off_t>(k)) &&
	       sum_bytes(buf, k) == h[F_BEFORE];
}

// Copies the saved bytes back over the list and gives it its old size, on disk. The
// room is made first, within the file size limit and where the file system can
// reserve it, so that a put-back that cannot finish never starts.
bool put_back(int journal, int list, const header h)
{
	const auto from = static_cast<off_t>(h[F_FROM]);
	const auto size = static_cast<off_t>(h[F_SIZE]);
	if (!fits_size_limit(size) ||
	    (size > from && fallocate(list, FALLOC_FL_KEEP_SIZE, from, size - from) != 0 && errno != EOPNOTSUPP))
		return false;
	for (off_t at = from; at < size;) {
		const size_t n = chunk(size - at, sizeof buf);
		iovec piece = {buf, n};
		if (!read_at(journal, buf, n, static_cast<off_t>(HEADER_SIZE) + (at - from)) ||
		    !write_all(list, &piece, 1, at))
			return false;
		at += static_cast<off_t>(n);
	}
	return ftruncate(list, size) == 0 && fdatasync(list) == 0;
}

bool clear_journal(int journal)
{
	return ftruncate(journal, 0) == 0 && fdatasync(journal) == 0;
}

// A journal that failed before its header was written whole can never read as whole:
// it is cut off, and the removal goes on without one where only room was lacking.
saved_journal give_up(int journal, int error)
{
	const bool no_room = error == ENOSPC || error == EDQUOT || error == EFBIG;
	return (ftruncate(journal, 0) == 0 && no_room) ? JOURNAL_NO_ROOM : JOURNAL_FAILED;
}

} // namespace

// The bytes before `from` are read with the first of the bytes saved. Where all of them
// fit one buffer, the header and the bytes go in one write; otherwise the bytes go
// first and the header, which makes them count, last.
saved_journal save_journal(int journal, const struct stat &journal_st, int list, const struct stat &list_st,
                           off_t from, off_t size)
{
	header h = {};
	identify(list, list_st, journal_st, h);
	h[F_FROM] = static_cast<uint64_t>(from);
	h[F_SIZE] = static_cast<uint64_t>(size);
	const size_t k = before_bytes(from);
	off_t at = from - static_cast<off_t>(k);
	size_t n = k + chunk(size - from, sizeof buf / 2);
	if (!read_at(list, buf, n, at))
		return give_up(journal, 0);
	h[F_BEFORE] = sum_bytes(buf, k);
	unsigned char raw[HEADER_SIZE];
	encode(h, raw);
	uint64_t c = start_sum(raw);
	const bool one_write = at + static_cast<off_t>(n) == size;
	for (size_t skip = k;; skip = 0) {
		add_bytes(c, buf + skip, n - skip);
		iovec piece = {buf + skip, n - skip};
		if (one_write)
			break;
		if (!write_all(journal, &piece, 1, static_cast<off_t>(HEADER_SIZE) + (at + static_cast<off_t>(skip) - from)))
			return give_up(journal, errno);
		at += static_cast<off_t>(n);
		if (at == size)
			break;
		n = chunk(size - at, sizeof buf);
		if (!read_at(list, buf, n, at))
			return give_up(journal, 0);
	}
	h[F_SUM] = c;
	encode(h, raw);
	iovec pieces[] = {{raw, HEADER_SIZE}, {buf + k, one_write ? n - k : 0}};
	if (!write_all(journal, pieces, 2, 0))
		return give_up(journal, errno);
	if (fdatasync(journal) != 0) {
		give_up(journal, 0);
		return JOURNAL_FAILED;
	}
	return h[F_DEVICE] == 0 ? JOURNAL_SAVED : JOURNAL_VOLATILE;
}

bool sync_unjournaled(saved_journal saved, int list, bool wrote)
{
	return saved == JOURNAL_SAVED || !wrote || fdatasync(list) == 0;
}

void end_journal(int journal, saved_journal saved, int list, bool done)
{
	if (saved != JOURNAL_NO_ROOM && !(done && clear_journal(journal)))
		roll_back(journal, list);
}

bool roll_back(int journal, int list)
{
	header h = {};
	const journal_state state = read_whole(journal, h);
	if (state == UNREADABLE || (state == WHOLE && list >= 0 && belongs(h, journal, list) && !put_back(journal, list, h)))
		return false;
	return clear_journal(journal);
}
