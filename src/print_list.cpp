// The print list file: find a name in it, append the name, or squeeze it out in place.
#include "print_list.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "find_line.h"
#include "list_path.h"

namespace {

struct print_list list;
char in[BUFFER_SIZE]; // the list as read, by the scan and by a removal

// A removal writes the lines it keeps straight from the buffer they were read into,
// at most this many runs of them a write, and after them at most this many copies of
// the removed line.
constexpr int MAX_RUNS = 32;
constexpr int MAX_FILL = 64;

// A line can straddle two buffer fills: this is what is known of the current one.
struct line_scan {
	const char *name;
	size_t len;      // of name
	size_t line_len; // bytes of the current line seen so far
	bool candidate;  // those bytes are how name begins
};

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
	off_t chunk;       // where the old bytes in `in` start, at a line start
	size_t chunk_len;
};

size_t min_size(size_t a, size_t b)
{
	return a < b ? a : b;
}

void new_line(line_scan &s)
{
	s.line_len = 0;
	s.candidate = true;
}

void extend_line(line_scan &s, const char *p, size_t n)
{
	s.candidate = s.candidate && s.line_len + n <= s.len && memcmp(p, s.name + s.line_len, n) == 0;
	s.line_len += n;
}

bool line_matches(const line_scan &s)
{
	return s.candidate && s.line_len == s.len;
}

size_t last_newline(size_t n)
{
	return static_cast<size_t>(static_cast<const char *>(memrchr(in, '\n', n)) - in);
}

// Reads the list up to the first line equal to the name. Reading beats mapping it:
// where page tables are costly, as in a virtual machine, a mapped page costs more
// than copying it.
void scan_list(int fd, line_scan &s)
{
	off_t base = 0; // file offset of in[0]
	off_t line_start = 0;
	ssize_t n;
	while ((n = read(fd, in, sizeof in)) > 0) {
		const auto len = static_cast<size_t>(n);
		const char *nl = static_cast<const char *>(memchr(in, '\n', len));
		size_t first = nl ? static_cast<size_t>(nl - in) : len;
		extend_line(s, in, first);
		if (nl) {
			if (line_matches(s)) {
				list.first_match = line_start;
				return;
			}
			size_t last = last_newline(len);
			size_t at = find_line(in, first + 1, last + 1, s.name, s.len);
			if (at <= last) {
				list.first_match = base + static_cast<off_t>(at);
				return;
			}
			new_line(s);
			extend_line(s, in + last + 1, len - last - 1);
			line_start = base + static_cast<off_t>(last + 1);
		}
		base += n;
		list.ends_in_newline = in[len - 1] == '\n';
	}
	// A failed read, or a file that changed while it was read, is no list to rewrite.
	if (n < 0 || base != list.size)
		list.state = LIST_UNSAFE;
	else if (s.line_len > 0 && line_matches(s))
		list.first_match = line_start;
}

// Reads n bytes at off into in, for a removal; fewer mean the list changed under it.
bool fill(squeeze &q, off_t off, size_t n)
{
	size_t got = 0;
	for (ssize_t r = 1; got < n && r > 0; got += static_cast<size_t>(r))
		if ((r = pread(q.fd, in + got, n - got, off + static_cast<off_t>(got))) < 0)
			return false;
	q.chunk = off;
	q.chunk_len = got;
	return got == n;
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

// Whether a write that ends at end is known to leave whole lines behind it: the old
// bytes there are the ones in `in`, or the end of a write that did.
bool ends_line(const squeeze &q, off_t end)
{
	if (end < q.done)
		return false;
	if (end == q.done)
		return q.done_at_line;
	if (end >= list.size || end == q.chunk)
		return true;
	return end > q.chunk && end - q.chunk <= static_cast<off_t>(q.chunk_len) && in[end - q.chunk - 1] == '\n';
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

// Writes the count pieces of kept lines, n bytes, at out, and after them as few
// copies of the removed line as make the write end where the old bytes have a line
// boundary too. pieces has room for the copies.
bool put_lines(squeeze &q, iovec *pieces, int count, size_t n)
{
	if (n == 0)
		return true;
	const auto line = static_cast<off_t>(q.len + 1);
	off_t end = q.out + static_cast<off_t>(n);
	int copies = 0;
	for (; !ends_line(q, end) && static_cast<size_t>(copies) < q.removed && copies < MAX_FILL; copies++)
		end += line;
	if (!ends_line(q, end)) { // more removed lines than it repeats, and no boundary near
		copies = 0;
		end = q.out + static_cast<off_t>(n);
	}
	for (int i = 0; i < copies; i++) {
		pieces[count++] = {const_cast<char *>(q.name), q.len};
		pieces[count++] = {const_cast<char *>("\n"), 1};
	}
	bool ok = put(q, pieces, count, end);
	q.out += static_cast<off_t>(n);
	return ok;
}

// A line longer than the buffer goes if it is the name, else is written on in parts,
// read again: the one case where a removal cut short can leave part of a line.
bool squeeze_long_line(squeeze &q)
{
	line_scan s = {q.name, q.len, 0, true};
	off_t end = q.read; // of the line, before its line feed
	const char *nl = nullptr;
	while (!nl && end < list.size) {
		if (!fill(q, end, min_size(BUFFER_SIZE, static_cast<size_t>(list.size - end))))
			return false;
		nl = static_cast<const char *>(memchr(in, '\n', q.chunk_len));
		size_t k = nl ? static_cast<size_t>(nl - in) : q.chunk_len;
		extend_line(s, in, k);
		end += static_cast<off_t>(k);
	}
	off_t from = q.read;
	q.read = nl ? end + 1 : end;
	if (line_matches(s)) {
		q.removed++;
		return true;
	}
	while (from < end) { // with the line feed, gained if the line had none
		size_t part = min_size(BUFFER_SIZE, static_cast<size_t>(end - from));
		if (!fill(q, from, part))
			return false;
		from += static_cast<off_t>(part);
		iovec pieces[] = {{in, part}, {const_cast<char *>("\n"), from == end ? 1U : 0U}};
		off_t to = q.out + static_cast<off_t>(part + pieces[1].iov_len);
		if (!put(q, pieces, 2, to))
			return false;
		q.out = to;
	}
	return true;
}

// Takes the whole lines in the next buffer's worth of the list, and writes those kept.
bool squeeze_lines(squeeze &q)
{
	const auto rest = static_cast<size_t>(list.size - q.read);
	if (!fill(q, q.read, min_size(BUFFER_SIZE, rest)))
		return false;
	const size_t n_in = q.chunk_len;
	const bool at_end = n_in == rest;
	const char *nl = static_cast<const char *>(memrchr(in, '\n', n_in));
	if (!nl && !at_end)
		return squeeze_long_line(q);
	size_t whole = nl ? static_cast<size_t>(nl - in) + 1 : 0;
	iovec pieces[MAX_RUNS + 2 + 2 * MAX_FILL];
	int count = 0;
	size_t n = 0;
	for (size_t from = 0; from < whole;) {
		size_t at = find_line(in, from, whole, q.name, q.len);
		if (at > from) {
			pieces[count++] = {in + from, at - from};
			n += at - from;
		}
		if (at < whole)
			q.removed++;
		from = at + q.len + 1;
		if (count == MAX_RUNS) {
			if (!put_lines(q, pieces, count, n))
				return false;
			count = 0;
			n = 0;
		}
	}
	if (at_end && whole < n_in) { // the open last line: it goes, or gains a line feed
		if (n_in - whole == q.len && memcmp(in + whole, q.name, q.len) == 0) {
			q.removed++;
		} else {
			pieces[count++] = {in + whole, n_in - whole};
			pieces[count++] = {const_cast<char *>("\n"), 1};
			n += n_in - whole + 1;
		}
		whole = n_in;
	}
	q.read += static_cast<off_t>(whole);
	return put_lines(q, pieces, count, n);
}

// Writes the lines that survive over the list from its first match on; every byte is
// read before a write covers it. Returns the list's new size, or -1 when a read or
// write failed.
off_t squeeze_list(int fd, const char *name)
{
	squeeze q = {fd, name, strlen(name), list.first_match, list.first_match, list.first_match, true, 0, 0, 0};
	while (q.read < list.size)
		if (!squeeze_lines(q))
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
// being changed takes effect once the change is whole or undone.
struct signal_block {
	sigset_t old;
	signal_block()
	{
		sigset_t all;
		sigfillset(&all);
		sigprocmask(SIG_BLOCK, &all, &old);
	}
	~signal_block() { sigprocmask(SIG_SETMASK, &old, nullptr); }
	signal_block(const signal_block &) = delete;
	signal_block &operator=(const signal_block &) = delete;
};

} // namespace

void clear_list()
{
	list = {LIST_UNSAFE, -1, 0, -1, true};
}

void load_list(const char *name, int dir)
{
	// A name holding a line feed would be written as two lines no removal could match.
	if (strchr(name, '\n'))
		return;
	struct stat st;
	list.file = find_regular(dir, LIST_NAME, st);
	if (list.file < 0) {
		if (errno == ENOENT)
			list.state = LIST_MISSING;
		return;
	}
	int fd = reopen_regular(list.file, O_RDONLY);
	if (fd < 0)
		return;
	list.state = LIST_LOADED;
	list.size = st.st_size;
	line_scan s = {name, strlen(name), 0, true};
	scan_list(fd, s);
	if (close(fd) != 0)
		list.state = LIST_UNSAFE;
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
	if (list.file >= 0)
		close(list.file);
	clear_list();
}
