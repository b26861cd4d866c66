// The print list file: find a name in it, append the name, or squeeze it out in place.
#include "print_list.h"

#include <errno.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "find_line.h"
#include "list_path.h"

namespace {

struct print_list list;
char buf[BUFFER_SIZE + 1]; // and the line feed an open last line gains

// A removal puts at most this many copies of the removed line after what it writes.
constexpr size_t MAX_FILL = 256;

// Another program that cuts the list short while it is mapped turns a read of the
// lost pages into SIGBUS: the run then leaves the list alone, as it does a list that
// changed while it was read. Between the jump's setting and the reads, nothing needs
// undoing on the way out.
sigjmp_buf cut_short;

void on_bus(int /*unused*/)
{
	siglongjmp(cut_short, 1); // NOLINT(cert-err52-cpp): nothing to unwind, see above
}

// A removal in progress. The file holds, in this order, the lines kept so far up to
// out, copies of the removed line up to done, and the old bytes from done on, so a
// removal cut short between two writes leaves only whole lines the list held.
struct squeeze {
	int fd;
	const char *name;
	size_t len;        // of name
	off_t out;         // where the next kept line goes
	off_t read;        // the first old byte not yet taken
	off_t done;        // the end of the furthest write
	bool done_at_line; // the old bytes have a line boundary at done
	size_t removed;    // lines taken out so far
};

size_t min_size(size_t a, size_t b)
{
	return a < b ? a : b;
}

// Maps the list read-only: a scan then reads the page cache's own pages, not a copy.
bool map_list()
{
	int fd = reopen_regular(list.file, O_RDONLY);
	struct stat st;
	bool ok = fd >= 0 && fstat(fd, &st) == 0 && static_cast<uintmax_t>(st.st_size) <= SIZE_MAX;
	if (ok && st.st_size > 0) {
		void *map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
		ok = map != MAP_FAILED;
		list.map = ok ? static_cast<const char *>(map) : nullptr;
	}
	if (fd >= 0 && close(fd) != 0)
		ok = false;
	if (ok) {
		list.size = st.st_size;
		struct sigaction act = {};
		act.sa_handler = on_bus;
		sigaction(SIGBUS, &act, nullptr);
	}
	return ok;
}

// Where the first line equal to the name starts, or -1.
off_t find_name(const char *name, size_t len)
{
	if (!list.map)
		return -1;
	const auto size = static_cast<size_t>(list.size);
	const char *nl = static_cast<const char *>(memrchr(list.map, '\n', size));
	size_t whole = nl ? static_cast<size_t>(nl - list.map) + 1 : 0;
	list.ends_in_newline = whole == size;
	size_t at = whole > 0 ? find_line(list.map, 0, whole, name, len) : 0;
	if (at < whole)
		return static_cast<off_t>(at);
	if (whole < size && size - whole == len && memcmp(list.map + whole, name, len) == 0)
		return static_cast<off_t>(whole);
	return -1;
}

// Writes iov whole at off, going on after a short write until one fails.
bool write_all(int fd, iovec *iov, int count, off_t off)
{
	while (count > 0) {
		ssize_t n = pwritev(fd, iov, count, off);
		if (n <= 0)
			return false;
		off += n;
		for (; count > 0 && static_cast<size_t>(n) >= iov->iov_len; iov++, count--)
			n -= static_cast<ssize_t>(iov->iov_len);
		if (count > 0) {
			iov->iov_base = static_cast<char *>(iov->iov_base) + n;
			iov->iov_len -= static_cast<size_t>(n);
		}
	}
	return true;
}

// Whether a write that ends at end leaves whole lines behind it in the file.
bool ends_line(const squeeze &q, off_t end)
{
	if (end < q.done)
		return false;
	if (end == q.done)
		return q.done_at_line;
	return end >= list.size || list.map[end - 1] == '\n';
}

// Writes count pieces at out, ending at end; what lies past end is looked at before
// the write covers it.
bool put(squeeze &q, iovec *pieces, int count, off_t end)
{
	if (end >= q.done) {
		q.done_at_line = ends_line(q, end);
		q.done = end;
	}
	return write_all(q.fd, pieces, count, q.out);
}

// Writes the n bytes of kept lines in buf at out, and after them as few copies of the
// removed line as make the write end where the old bytes have a line boundary too.
bool put_lines(squeeze &q, size_t n)
{
	if (n == 0)
		return true;
	const auto line = static_cast<off_t>(q.len + 1);
	off_t end = q.out + static_cast<off_t>(n);
	size_t fill = 0;
	for (; !ends_line(q, end) && fill < q.removed && fill < MAX_FILL; fill++)
		end += line;
	if (!ends_line(q, end)) { // more removed lines than it repeats, and no boundary near
		fill = 0;
		end = q.out + static_cast<off_t>(n);
	}
	iovec pieces[1 + 2 * MAX_FILL];
	pieces[0] = {buf, n};
	for (size_t i = 0; i < fill; i++) {
		pieces[1 + 2 * i] = {const_cast<char *>(q.name), q.len};
		pieces[2 + 2 * i] = {const_cast<char *>("\n"), 1};
	}
	bool ok = put(q, pieces, static_cast<int>(1 + 2 * fill), end);
	q.out += static_cast<off_t>(n);
	return ok;
}

// Takes the whole lines in the next buffer's worth of the list, and writes those kept.
bool squeeze_lines(squeeze &q)
{
	const char *map = list.map;
	const auto size = static_cast<size_t>(list.size);
	auto from = static_cast<size_t>(q.read);
	size_t end = from + min_size(BUFFER_SIZE, size - from);
	const char *nl = static_cast<const char *>(memrchr(map + from, '\n', end - from));
	size_t whole = nl ? static_cast<size_t>(nl - map) + 1 : from;
	size_t n = 0;
	while (from < whole) {
		size_t at = find_line(map, from, whole, q.name, q.len);
		memcpy(buf + n, map + from, at - from);
		n += at - from;
		if (at == whole)
			break;
		from = at + q.len + 1;
		q.removed++;
	}
	if (end == size && whole < size) { // the open last line: it goes, or gains a line feed
		if (size - whole == q.len && memcmp(map + whole, q.name, q.len) == 0) {
			q.removed++;
		} else {
			memcpy(buf + n, map + whole, size - whole);
			n += size - whole;
			buf[n++] = '\n';
		}
		whole = size;
	}
	q.read = static_cast<off_t>(whole);
	return put_lines(q, n);
}

// A line longer than the buffer goes if it is the name, else is written on in parts:
// the one case where a removal cut short can leave part of a line.
bool squeeze_long_line(squeeze &q)
{
	const char *start = list.map + q.read;
	const auto rest = static_cast<size_t>(list.size - q.read);
	const char *nl = static_cast<const char *>(memchr(start, '\n', rest));
	size_t len = nl ? static_cast<size_t>(nl - start) : rest;
	q.read += static_cast<off_t>(nl ? len + 1 : len);
	if (len == q.len && memcmp(start, q.name, len) == 0) {
		q.removed++;
		return true;
	}
	for (size_t at = 0; at <= len;) { // the line and its line feed, gained if it had none
		size_t part = min_size(BUFFER_SIZE, len - at);
		memcpy(buf, start + at, part);
		at += part;
		if (at == len)
			buf[part++] = '\n', at++;
		iovec piece = {buf, part};
		if (!put(q, &piece, 1, q.out + static_cast<off_t>(part)))
			return false;
		q.out += static_cast<off_t>(part);
	}
	return true;
}

bool starts_long_line(const squeeze &q)
{
	const auto rest = static_cast<size_t>(list.size - q.read);
	return rest > BUFFER_SIZE && !memchr(list.map + q.read, '\n', BUFFER_SIZE);
}

// Writes the lines that survive over the list from its first match on, reading the
// old bytes from the mapping, which a write changes only below what has been taken.
// Returns the list's new size, or -1 when a write failed or the list was cut short.
off_t squeeze_list(int fd, const char *name)
{
	if (sigsetjmp(cut_short, 1) != 0) // NOLINT(cert-err52-cpp): see on_bus
		return -1;
	squeeze q = {fd, name, strlen(name), list.first_match, list.first_match, list.first_match, true, 0};
	while (q.read < list.size)
		if (!(starts_long_line(q) ? squeeze_long_line(q) : squeeze_lines(q)))
			return -1;
	return q.out;
}

// Opens the list that load_list found, only if it is still as it was loaded.
int open_loaded(int flags)
{
	int fd = reopen_regular(list.file, flags);
	struct stat st;
	if (fd < 0 || (fstat(fd, &st) == 0 && st.st_size == list.size))
		return fd;
	close(fd);
	return -1;
}

bool same_file(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The name in dir is the file fd has open, and its only name.
bool is_sole_name(int fd, int dir)
{
	struct stat opened;
	struct stat named;
	return fstat(fd, &opened) == 0 && opened.st_nlink == 1 &&
	       fstatat(dir, LIST_NAME, &named, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(named.st_mode) &&
	       same_file(opened, named);
}

// Cuts the list back to its loaded length, on the same file opened again.
bool cut_back()
{
	int fd = reopen_regular(list.file, O_WRONLY);
	if (fd < 0)
		return false;
	bool cut = ftruncate(fd, list.size) == 0;
	return close(fd) == 0 && cut;
}

// An add appends rather than rewrites: the lines already listed are never at risk,
// and a failed write is undone on the descriptor that made it, by cutting the file
// back to its old length, or by removing the list the run made.
void add_name(const char *name, int dir)
{
	bool create = list.state == LIST_MISSING;
	int fd = create ? openat(dir, LIST_NAME, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666)
	                : open_loaded(O_WRONLY);
	if (fd < 0)
		return;
	iovec line[] = {
		{const_cast<char *>("\n"), list.ends_in_newline ? 0U : 1U},
		{const_cast<char *>(name), strlen(name)},
		{const_cast<char *>("\n"), 1},
	};
	bool written = write_all(fd, line, 3, list.size);
	bool undone = !written && ftruncate(fd, list.size) == 0;
	bool made_here = create && is_sole_name(fd, dir);
	if (close(fd) == 0 && written)
		return;
	if (made_here)
		unlinkat(dir, LIST_NAME, 0);
	else if (!create && !undone) // the close failed after the write
		cut_back();
}

// A removal writes below the list's old end, and at most one byte past it; past a file
// size limit those writes would fail partway, so such a list is not touched.
bool fits_size_limit(off_t size)
{
	rlimit limit;
	return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
	       static_cast<rlim_t>(size) < limit.rlim_cur;
}

// A removal rewrites only from the first match on, and truncates last, so a failed
// write leaves every line in the file. An emptied list is deleted only where that
// loses nothing: a symbolic link or another hard link keeps the empty file in place,
// with its owner and mode, for the next add.
void remove_name(const char *name, int dir)
{
	if (!fits_size_limit(list.size))
		return;
	int fd = open_loaded(O_RDWR);
	if (fd < 0)
		return;
	off_t size = squeeze_list(fd, name);
	bool truncated = size >= 0 && ftruncate(fd, size) == 0;
	bool emptied = truncated && size == 0 && is_sole_name(fd, dir);
	if (close(fd) == 0 && emptied)
		unlinkat(dir, LIST_NAME, 0);
}

// Blocks every signal that can wait while it lives: one that arrives while the list is
// being changed takes effect once the change is whole or undone. SIGBUS cannot wait.
struct signal_block {
	sigset_t old;
	signal_block()
	{
		sigset_t all;
		sigfillset(&all);
		sigdelset(&all, SIGBUS);
		sigprocmask(SIG_BLOCK, &all, &old);
	}
	~signal_block() { sigprocmask(SIG_SETMASK, &old, nullptr); }
	signal_block(const signal_block &) = delete;
	signal_block &operator=(const signal_block &) = delete;
};

} // namespace

void clear_list()
{
	list = {LIST_UNSAFE, -1, nullptr, 0, -1, true};
}

void load_list(const char *name, int dir)
{
	// A name holding a line feed would be written as two lines no removal could match.
	if (strchr(name, '\n'))
		return;
	list.file = find_regular(dir, LIST_NAME);
	if (list.file < 0) {
		if (errno == ENOENT)
			list.state = LIST_MISSING;
		return;
	}
	if (!map_list())
		return;
	if (sigsetjmp(cut_short, 1) != 0) // NOLINT(cert-err52-cpp): see on_bus
		return;
	list.first_match = find_name(name, strlen(name));
	list.state = LIST_LOADED;
}

void save_list(const char *name, int mode, int dir)
{
	bool listed = list.first_match >= 0;
	bool changes = (mode == LIST_ADD && !listed) || (mode == LIST_REMOVE && listed);
	if (list.state != LIST_UNSAFE && changes) {
		const signal_block block;
		if (mode == LIST_ADD)
			add_name(name, dir);
		else
			remove_name(name, dir);
	}
	if (list.map)
		munmap(const_cast<char *>(list.map), static_cast<size_t>(list.size));
	if (list.file >= 0)
		close(list.file);
	clear_list();
}
