// Path resolution: follow a symbolic link only where the kernel's protected_symlinks
// rule would in a sticky directory, and open nothing but directories and regular files.
#include "list_path.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// As many links as the kernel follows in one lookup.
constexpr int MAX_LINKS = 40;

// openat2's RESOLVE_NO_SYMLINKS, which no C library header this tool builds with
// declares.
constexpr uint64_t RESOLVE_NO_SYMLINKS = 0x04;

// The kernel's own rule, so that a link is followed here exactly where root would
// follow it in /tmp: one another user planted is never followed, one that root or the
// directory's owner made always is.
bool may_follow(const struct stat &link, int dir)
{
	struct stat st;
	return link.st_uid == geteuid() || (fstat(dir, &st) == 0 && link.st_uid == st.st_uid);
}

// Opens path, taken from the directory at, as an O_PATH descriptor, one name at a
// time, so that nothing it names is opened; a link that may be followed puts its
// target in front of the names still to open. Leaves what it opened in st.
int walk(int at, const char *path, struct stat &st)
{
	char left[PATH_MAX];
	char target[PATH_MAX];
	char name[NAME_MAX + 1];
	size_t len = strlen(path);
	if (len == 0 || len >= sizeof left) {
		errno = len ? ENAMETOOLONG : ENOENT;
		return -1;
	}
	memcpy(left, path, len + 1);
	const char *p = left;
	int cur = at; // not this walk's own until it has opened a name
	bool own = false;
	bool fresh = true; // p starts a path: a '/' there is the root
	for (int links = 0;;) {
		if (fresh && *p == '/') {
			if (own)
				close(cur);
			cur = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
			own = cur >= 0;
			if (!own || fstat(cur, &st) != 0)
				break;
		}
		fresh = false;
		for (; *p == '/'; p++)
			;
		size_t n = strcspn(p, "/");
		if (n == 0)
			return cur; // a name or the root was opened: the path is not empty
		int next = -1;
		if (n < sizeof name) {
			memcpy(name, p, n);
			name[n] = '\0';
			p += n;
			next = openat(cur, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
		} else {
			errno = ENAMETOOLONG;
		}
		if (next < 0 || fstat(next, &st) != 0 || !S_ISLNK(st.st_mode)) {
			if (own)
				close(cur);
			if (next < 0)
				return -1;
			cur = next;
			own = true;
			continue;
		}
		ssize_t t = -1;
		if (++links <= MAX_LINKS && may_follow(st, cur))
			t = readlinkat(next, "", target, sizeof target);
		close(next);
		size_t rest = strlen(p);
		if (t <= 0 || static_cast<size_t>(t) + rest >= sizeof left)
			break;
		memmove(left + t, p, rest + 1);
		memcpy(left, target, static_cast<size_t>(t));
		p = left;
		fresh = true;
	}
	if (own && cur >= 0)
		close(cur);
	errno = ELOOP;
	return -1;
}

// Keeps fd only if it is of the type given.
int only(int fd, const struct stat &st, mode_t type)
{
	if (fd < 0 || (st.st_mode & S_IFMT) == type)
		return fd;
	close(fd);
	errno = EINVAL;
	return -1;
}

} // namespace

int open_parent_dir(const char *path)
{
	char dir[PATH_MAX] = ".";
	const char *slash = strrchr(path, '/');
	if (slash) {
		size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
		if (n >= sizeof dir)
			return -1;
		memcpy(dir, path, n);
		dir[n] = '\0';
	}
#ifdef SYS_openat2
	// Where no step is a link, one call does it all; otherwise the links are looked at.
	const uint64_t how[] = {O_PATH | O_DIRECTORY | O_CLOEXEC, 0, RESOLVE_NO_SYMLINKS}; // flags, mode, resolve
	long fd = syscall(SYS_openat2, AT_FDCWD, dir, how, sizeof how);
	if (fd >= 0 || errno == ENOENT)
		return static_cast<int>(fd);
#endif
	struct stat st;
	return only(walk(AT_FDCWD, dir, st), st, S_IFDIR);
}

int find_regular(int dir, const char *name, struct stat &st)
{
	int fd = openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
	if (fd >= 0 && fstat(fd, &st) == 0 && S_ISLNK(st.st_mode)) { // the walk looks at it
		close(fd);
		fd = walk(dir, name, st);
	}
	return only(fd, st, S_IFREG);
}

// A descriptor opened by O_PATH opens nothing; /proc opens that same inode again, so
// no FIFO or device swapped in at the name is ever opened. Without /proc, nothing is.
int reopen_regular(int path_fd, int flags)
{
	char proc[32] = "/proc/self/fd/";
	char digits[12];
	size_t n = 0;
	for (auto v = static_cast<unsigned>(path_fd); n == 0 || v > 0; v /= 10)
		digits[n++] = static_cast<char>('0' + v % 10);
	char *p = proc + strlen(proc);
	while (n > 0)
		*p++ = digits[--n];
	*p = '\0';
	int fd = open(proc, flags | O_NOCTTY | O_CLOEXEC);
	if (fd < 0 && errno == ENOENT)
		errno = EACCES; // the file is there: say so
	return fd;
}

int open_regular(int dir, const char *name, int flags)
{
	struct stat st;
	int path_fd = find_regular(dir, name, st);
	if (path_fd < 0)
		return -1;
	int fd = reopen_regular(path_fd, flags);
	close(path_fd);
	return fd;
}
