// Path resolution: follow a symbolic link only where the kernel's protected_symlinks
// rule would in a sticky directory, and open nothing but directories and regular files.
#include "list_path.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// As many links as the kernel follows in one lookup.
constexpr int MAX_LINKS = 40;

// The kernel's own rule, so that a link is followed here exactly where root would
// follow it in /tmp: one another user planted is never followed, one that root or the
// directory's owner made always is.
bool may_follow(const struct stat &link, int dir)
{
	struct stat st;
	return link.st_uid == geteuid() || (fstat(dir, &st) == 0 && link.st_uid == st.st_uid);
}

// Where a walk of the path p starts: the root, or the directory at.
int start(int at, const char *p)
{
	return openat(at, *p == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Opens path, taken from the directory at, as an O_PATH descriptor, one name at a
// time, so that nothing it names is opened; a link that may be followed puts its
// target in front of the names still to open.
int walk(int at, const char *path)
{
	char left[PATH_MAX];
	char target[PATH_MAX];
	char name[NAME_MAX + 1];
	size_t len = strlen(path);
	if (len >= sizeof left) {
		errno = ENAMETOOLONG;
		return -1;
	}
	memcpy(left, path, len + 1);
	const char *p = left;
	int cur = start(at, p);
	for (int links = 0; cur >= 0;) {
		for (; *p == '/'; p++)
			;
		size_t n = strcspn(p, "/");
		if (n == 0)
			break;
		int next = -1;
		if (n < sizeof name) {
			memcpy(name, p, n);
			name[n] = '\0';
			p += n;
			next = openat(cur, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
		} else {
			errno = ENAMETOOLONG;
		}
		struct stat st;
		if (next < 0 || fstat(next, &st) != 0 || !S_ISLNK(st.st_mode)) {
			close(cur);
			cur = next;
			continue;
		}
		ssize_t t = -1;
		if (++links <= MAX_LINKS && may_follow(st, cur))
			t = readlinkat(next, "", target, sizeof target);
		close(next);
		size_t rest = strlen(p);
		if (t <= 0 || static_cast<size_t>(t) + rest >= sizeof left) {
			close(cur);
			errno = ELOOP;
			return -1;
		}
		memmove(left + t, p, rest + 1);
		memcpy(left, target, static_cast<size_t>(t));
		p = left;
		if (*p == '/') {
			close(cur);
			cur = start(at, p);
		}
	}
	return cur;
}

bool is_type(int fd, mode_t type)
{
	struct stat st;
	return fstat(fd, &st) == 0 && (st.st_mode & S_IFMT) == type;
}

// Keeps fd only if it is of the type given.
int only(int fd, mode_t type)
{
	if (fd < 0 || is_type(fd, type))
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
	return only(walk(AT_FDCWD, dir), S_IFDIR);
}

int find_regular(int dir, const char *name)
{
	return only(walk(dir, name), S_IFREG);
}

// A descriptor opened by O_PATH opens nothing; /proc opens that same inode again, so
// no FIFO or device swapped in at the name is ever opened. Without /proc, nothing is.
int reopen_regular(int path_fd, int flags)
{
	char proc[32];
	snprintf(proc, sizeof proc, "/proc/self/fd/%d", path_fd);
	int fd = open(proc, flags | O_NOCTTY | O_CLOEXEC);
	struct stat want;
	struct stat got;
	if (fd >= 0 && fstat(path_fd, &want) == 0 && fstat(fd, &got) == 0 &&
	    got.st_dev == want.st_dev && got.st_ino == want.st_ino)
		return fd;
	if (fd >= 0)
		close(fd);
	errno = EACCES; // never ENOENT: the file is there
	return -1;
}

int open_regular(int dir, const char *name, int flags)
{
	int path_fd = find_regular(dir, name);
	if (path_fd < 0)
		return -1;
	int fd = reopen_regular(path_fd, flags);
	close(path_fd);
	return fd;
}
