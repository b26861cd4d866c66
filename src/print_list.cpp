// The print list file: find a name in it, append the name, or squeeze it out in place.
#include "print_list.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "find_line.h"

namespace {

struct print_list list;
char buf[READ_SIZE];

// A line can straddle two buffer fills: this is what is known of the current one.
struct line_scan {
	const char *name;
	size_t len;      // of name
	size_t line_len; // bytes of the current line seen so far
	bool candidate;  // those bytes are how name begins
};

// Where a removal writes the surviving bytes; a failed write stops all later ones.
struct list_out {
	int fd;
	off_t at;
	bool ok;
};

void new_line(line_scan &s)
{
	s.line_len = 0;
	s.candidate = true;
}

void extend_line(line_scan &s, const char *p, size_t n)
{
	s.candidate = s.candidate && s.line_len + n <= s.len &&
	              memcmp(p, s.name + s.line_len, n) == 0;
	s.line_len += n;
}

bool line_matches(const line_scan &s)
{
	return s.candidate && s.line_len == s.len;
}

size_t find_last_newline(size_t n)
{
	return static_cast<const char *>(memrchr(buf, '\n', n)) - buf;
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

// Writes the pieces at out.at, in one write unless it is cut short.
void put(list_out &out, iovec *pieces, int count)
{
	size_t n = 0;
	for (int i = 0; i < count; i++)
		n += pieces[i].iov_len;
	if (n > 0 && out.ok)
		out.ok = write_all(out.fd, pieces, count, out.at);
	out.at += static_cast<off_t>(n);
}

// Reads the list up to the first line equal to the name.
void scan_list(int fd, line_scan &s)
{
	off_t base = 0; // file offset of buf[0]
	off_t line_start = 0;
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0) {
		const auto *nl = static_cast<const char *>(memchr(buf, '\n', n));
		size_t first = nl ? nl - buf : n;
		extend_line(s, buf, first);
		if (nl) {
			if (line_matches(s)) {
				list.first_match = line_start;
				return;
			}
			size_t last = find_last_newline(n);
			size_t at = find_line(buf, first + 1, last + 1, s.name, s.len);
			if (at <= last) {
				list.first_match = base + static_cast<off_t>(at);
				return;
			}
			new_line(s);
			extend_line(s, buf + last + 1, n - last - 1);
			line_start = base + static_cast<off_t>(last + 1);
		}
		base += n;
		list.ends_in_newline = buf[n - 1] == '\n';
	}
	// A failed read, or a file that changed while it was read, is no list to rewrite.
	if (n < 0 || base != list.size)
		list.state = LIST_UNSAFE;
	else if (s.line_len > 0 && line_matches(s))
		list.first_match = line_start;
}

// Takes the lines equal to the name out of buf[0, n), read at a line start or inside
// a line longer than the buffer, and writes what survives in one write that ends just
// after a line feed: a run cut short between two writes then leaves every line whole.
// A line that the buffer's end cuts off is left to be read again; only a line longer
// than the buffer is written in parts. at_end says buf ends where the list does.
// Returns the bytes used.
size_t squeeze_buffer(line_scan &s, size_t n, bool at_end, list_out &out)
{
	// The bytes of a long line that may still turn out equal are held back: they are
	// the name's own, so they are written from it once the line proves different.
	size_t held = s.candidate ? s.line_len : 0;
	const auto *nl = static_cast<const char *>(memchr(buf, '\n', n));
	size_t first = nl ? nl - buf : n;
	extend_line(s, buf, first);
	if (!nl && !at_end) {
		if (s.candidate)
			return n;
		iovec part[] = {{const_cast<char *>(s.name), held}, {buf, n}};
		put(out, part, 2);
		return n;
	}
	bool first_kept = !line_matches(s);
	size_t kept = first_kept ? std::min(first + 1, n) : 0;
	size_t used = n;
	if (nl) {
		size_t last = find_last_newline(n);
		for (size_t from = first + 1; from <= last;) {
			size_t at = find_line(buf, from, last + 1, s.name, s.len);
			memmove(buf + kept, buf + from, at - from);
			kept += at - from;
			from = at + s.len + 1;
		}
		new_line(s);
		if (!at_end) {
			used = last + 1;
		} else {
			extend_line(s, buf + last + 1, n - last - 1);
			if (s.line_len > 0 && !line_matches(s)) {
				memmove(buf + kept, buf + last + 1, s.line_len);
				kept += s.line_len;
			}
		}
	}
	// An unterminated last line survives, and gains its line feed.
	bool open_end = at_end && kept > 0 && buf[kept - 1] != '\n';
	iovec lines[] = {
		{const_cast<char *>(s.name), first_kept ? held : 0},
		{buf, kept},
		{const_cast<char *>("\n"), open_end ? 1U : 0U},
	};
	put(out, lines, 3);
	new_line(s);
	return used;
}

// Writes the lines that survive over the list from its first match on.
// Returns the list's new size, or -1 when a read or write failed.
off_t squeeze_list(int fd, line_scan &s)
{
	list_out out = {fd, list.first_match, true};
	off_t at = list.first_match;
	// Every byte is read before anything is written over it: out.at never passes at.
	while (out.ok && at < list.size) {
		size_t want = std::min(sizeof buf, static_cast<size_t>(list.size - at));
		ssize_t n = pread(fd, buf, want, at);
		if (n <= 0)
			return -1;
		at += static_cast<off_t>(squeeze_buffer(s, n, at + n == list.size, out));
	}
	return out.ok ? out.at : -1;
}

// The list as loaded: a regular file, the same inode, the same size.
bool is_loaded(const struct stat &st)
{
	return S_ISREG(st.st_mode) && st.st_dev == list.dev && st.st_ino == list.ino &&
	       st.st_size == list.size;
}

// Opens the list that load_list found, only if it is still that file. It is looked at
// before the open, since opening a FIFO or a device has effects of its own, and again
// after it; O_NONBLOCK keeps a FIFO swapped in between from holding the run up.
int open_loaded(const char *path, int flags)
{
	struct stat st;
	if (stat(path, &st) != 0 || !is_loaded(st))
		return -1;
	int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return -1;
	if (fstat(fd, &st) == 0 && is_loaded(st))
		return fd;
	close(fd);
	return -1;
}

// An add appends rather than rewrites: the lines already listed are never at risk,
// and a failed write is undone by cutting the file back to its old length.
void add_name(const char *name, const char *path)
{
	bool create = list.state == LIST_MISSING;
	int fd = create ? open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666)
	                : open_loaded(path, O_WRONLY);
	if (fd < 0)
		return;
	iovec line[] = {
		{const_cast<char *>("\n"), list.ends_in_newline ? 0U : 1U},
		{const_cast<char *>(name), strlen(name)},
		{const_cast<char *>("\n"), 1},
	};
	bool written = write_all(fd, line, 3, list.size);
	if (close(fd) == 0 && written)
		return;
	if (create)
		unlink(path);
	else
		truncate(path, list.size);
}

// A removal writes below the list's old end; past a file size limit those writes
// would fail partway, so such a list is not touched.
bool fits_size_limit(off_t size)
{
	rlimit limit;
	return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
	       static_cast<rlim_t>(size) <= limit.rlim_cur;
}

// An emptied list is deleted only where that loses nothing: a symbolic link or another
// hard link keeps the empty file in place, with its owner and mode, for the next add.
bool is_sole_name(int fd, const char *path)
{
	struct stat opened;
	struct stat named;
	return fstat(fd, &opened) == 0 && lstat(path, &named) == 0 && S_ISREG(named.st_mode) &&
	       opened.st_nlink == 1 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// A removal rewrites only from the first match on, and truncates last, so a failed
// write leaves every line in the file.
void remove_name(const char *name, const char *path)
{
	if (!fits_size_limit(list.size))
		return;
	int fd = open_loaded(path, O_RDWR);
	if (fd < 0)
		return;
	line_scan s = {name, strlen(name), 0, true};
	off_t size = squeeze_list(fd, s);
	bool truncated = size >= 0 && ftruncate(fd, size) == 0;
	bool emptied = truncated && size == 0 && is_sole_name(fd, path);
	if (close(fd) == 0 && emptied)
		unlink(path);
}

// Blocks every signal that can be blocked while it lives: one that arrives while the
// list is being changed takes effect once the change is whole or undone.
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
	list = print_list{};
}

void load_list(const char *name, const char *path)
{
	// A name holding a line feed would be written as two lines no removal could match.
	if (strchr(name, '\n'))
		return;
	struct stat st;
	if (stat(path, &st) != 0) {
		if (errno == ENOENT)
			list = {LIST_MISSING, 0, 0, 0, -1, true};
		return;
	}
	if (!S_ISREG(st.st_mode))
		return;
	list = {LIST_LOADED, st.st_dev, st.st_ino, st.st_size, -1, true};
	int fd = open_loaded(path, O_RDONLY);
	if (fd < 0) {
		list.state = LIST_UNSAFE;
		return;
	}
	line_scan s = {name, strlen(name), 0, true};
	scan_list(fd, s);
	if (close(fd) != 0)
		list.state = LIST_UNSAFE;
}

void save_list(const char *name, int mode, const char *path)
{
	bool listed = list.first_match >= 0;
	bool changes = (mode == LIST_ADD && !listed) || (mode == LIST_REMOVE && listed);
	if (list.state == LIST_UNSAFE || !changes)
		return;
	const signal_block block;
	if (mode == LIST_ADD)
		add_name(name, path);
	else
		remove_name(name, path);
}
