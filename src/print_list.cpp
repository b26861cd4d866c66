// The print list file: find a name in it, append the name, or squeeze it out in place.
#include "print_list.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

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

// Returns where the first line in buf[from, end) equal to the name starts, or end.
// from starts a line and buf[end - 1] is a line feed.
size_t find_whole_line(const line_scan &s, size_t from, size_t end)
{
	while (from < end) {
		const auto *hit = static_cast<const char *>(memmem(buf + from, end - from, s.name, s.len));
		if (!hit)
			break;
		size_t at = hit - buf;
		if ((at == from || buf[at - 1] == '\n') && buf[at + s.len] == '\n')
			return at;
		// Only a line start can match: skip the rest of this line.
		from = static_cast<const char *>(memchr(hit, '\n', end - at)) - buf + 1;
	}
	return end;
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

void put(list_out &out, const char *p, size_t n)
{
	iovec iov = {const_cast<char *>(p), n};
	if (n > 0 && out.ok)
		out.ok = write_all(out.fd, &iov, 1, out.at);
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
			size_t at = find_whole_line(s, first + 1, last + 1);
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

// Takes the lines of buf[0, n) equal to the name out of it; returns the bytes left.
// The bytes of a line that may still turn out equal are held back: they are the
// name's own, so they are written from it (at out) once the line proves different.
size_t squeeze_buffer(line_scan &s, size_t n, list_out &out)
{
	bool held = s.candidate;
	size_t held_len = s.line_len;
	const auto *nl = static_cast<const char *>(memchr(buf, '\n', n));
	size_t first = nl ? nl - buf : n;
	extend_line(s, buf, first);
	if (!nl && s.candidate)
		return 0;
	size_t kept = 0;
	if (!nl || !line_matches(s)) {
		if (held)
			put(out, s.name, held_len);
		kept = nl ? first + 1 : n;
	}
	if (!nl)
		return kept;
	size_t last = find_last_newline(n);
	for (size_t from = first + 1; from <= last;) {
		size_t at = find_whole_line(s, from, last + 1);
		memmove(buf + kept, buf + from, at - from);
		kept += at - from;
		from = at + s.len + 1;
	}
	new_line(s);
	extend_line(s, buf + last + 1, n - last - 1);
	if (!s.candidate) {
		memmove(buf + kept, buf + last + 1, n - last - 1);
		kept += n - last - 1;
	}
	return kept;
}

// Writes the lines that survive over the list from its first match on.
// Returns the list's new size, or -1 when a read or write failed.
off_t squeeze_list(int fd, line_scan &s)
{
	list_out out = {fd, list.first_match, true};
	off_t at = list.first_match;
	ssize_t n = 0;
	// Every byte is read before anything is written over it: out.at never passes at.
	while (out.ok && (n = pread(fd, buf, sizeof buf, at)) > 0) {
		at += n;
		size_t kept = squeeze_buffer(s, static_cast<size_t>(n), out);
		put(out, buf, kept);
	}
	if (!out.ok || n < 0)
		return -1;
	if (s.line_len > 0 && !line_matches(s)) {
		// An unterminated last line survives, and gains its line feed.
		if (s.candidate)
			put(out, s.name, s.line_len);
		put(out, "\n", 1);
	}
	return out.ok ? out.at : -1;
}

// Opens the list that load_list read, only if it is still that file, unchanged in size.
int open_loaded(const char *path, int flags)
{
	int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC);
	struct stat st;
	if (fd < 0)
		return -1;
	if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == list.dev &&
	    st.st_ino == list.ino && st.st_size == list.size)
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

// A removal rewrites only from the first match on, and truncates last, so a failed
// write leaves every line in the file.
void remove_name(const char *name, const char *path)
{
	int fd = open_loaded(path, O_RDWR);
	if (fd < 0)
		return;
	line_scan s = {name, strlen(name), 0, true};
	off_t size = squeeze_list(fd, s);
	bool truncated = size >= 0 && ftruncate(fd, size) == 0;
	if (close(fd) == 0 && truncated && size == 0)
		unlink(path);
}

// The directory that holds path, as a string in dir; false when it does not fit.
bool copy_dir(const char *path, char (&dir)[PATH_MAX])
{
	const char *slash = strrchr(path, '/');
	size_t n = 1; // of "/" or "."
	if (!slash)
		path = ".";
	else if (slash != path)
		n = static_cast<size_t>(slash - path);
	if (n >= sizeof dir)
		return false;
	memcpy(dir, path, n);
	dir[n] = '\0';
	return true;
}

} // namespace

// The directory is locked, not the list, because runs create and delete the list.
// Without a lock the run goes on as before.
list_lock::list_lock(const char *path) : fd(-1)
{
	char dir[PATH_MAX];
	if (copy_dir(path, dir))
		fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd >= 0)
		flock(fd, LOCK_EX);
}

list_lock::~list_lock()
{
	if (fd >= 0)
		close(fd);
}

void clear_list()
{
	list = print_list{};
}

void load_list(const char *name, const char *path)
{
	// A name holding a line feed would be written as two lines no removal could match.
	if (strchr(name, '\n'))
		return;
	// Non-blocking, so that a FIFO at the path cannot hold the run up.
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		if (errno == ENOENT)
			list = {LIST_MISSING, 0, 0, 0, -1, true};
		return;
	}
	struct stat st;
	if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
		list = {LIST_LOADED, st.st_dev, st.st_ino, st.st_size, -1, true};
		line_scan s = {name, strlen(name), 0, true};
		scan_list(fd, s);
	}
	if (close(fd) != 0)
		list.state = LIST_UNSAFE;
}

void save_list(const char *name, int mode, const char *path)
{
	if (list.state == LIST_UNSAFE)
		return;
	bool listed = list.first_match >= 0;
	if (mode == LIST_ADD && !listed)
		add_name(name, path);
	else if (mode == LIST_REMOVE && listed)
		remove_name(name, path);
}
