// Path resolution: follow a symbolic link only where the kernel's protected_symlinks
// rule would in a sticky directory, and open nothing but directories and regular files.
#include "list_path.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// As many links as the kernel follows in one lookup.
constexpr int MAX_LINKS = 40;

// openat2's RESOLVE_NO_SYMLINKS, which no C library header this tool builds with
// declares.
constexpr uint64_t RESOLVE_NO_SYMLINKS = 0x04;

uid_t owner_of(int dir)
{
	struct stat st;
	return fstat(dir, &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// The kernel's own rule, so that a link is followed here exactly where root would
// follow it in /tmp: one another user planted is never followed, one that root or the
// directory's owner made always is.
bool may_follow(const struct stat &link, int dir)
{
	return link.st_uid == geteuid() || link.st_uid == owner_of(dir);
}

bool set_name(found_file &f, const char *name, size_t n)
{
	if (n == 0 || n > NAME_MAX)
		return false;
	memcpy(f.name, name, n);
	f.name[n] = '\0';
	return true;
}

// Follows path from the directory at one name at a time, as O_PATH descriptors, so
// that nothing it names is opened; a link that may be followed puts its target in
// front of the names still to walk. Leaves in f what the last name leads to, or the
// directory where it would be created.
find_result walk(int at, const char *path, found_file &f)
{
	static char left[PATH_MAX]; // static: the run fits an 8 KiB stack
	static char target[PATH_MAX];
	size_t len = strlen(path);
	if (len == 0 || len >= sizeof left)
		return FILE_REFUSED;
	memcpy(left, path, len + 1);
	const char *p = left;
	int cur = at; // the directory reached: not the walk's own until it has opened one
	bool own = false;
	bool fresh = true; // p starts a path: a '/' there is the root
	for (int links = 0;;) {
		if (fresh && *p == '/') {
			if (own)
				close(cur);
			cur = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
			own = cur >= 0;
			if (!own)
				return FILE_REFUSED;
		}
		fresh = false;
		p += strspn(p, "/");
		size_t n = strcspn(p, "/");
		if (n == 0 && own && fstat(cur, &f.st) == 0) { // a link led to the root itself
			f.fd = cur;
			return FILE_FOUND;
		}
		if (!set_name(f, p, n))
			break;
		p += n;
		const bool last = p[strspn(p, "/")] == '\0';
		int next = openat(cur, f.name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
		if (next < 0 && errno == ENOENT && last) {
			f.dir = cur;
			f.own_dir = own;
			return FILE_MISSING;
		}
		if (next < 0 || fstat(next, &f.st) != 0) {
			if (next >= 0)
				close(next);
			break;
		}
		if (!S_ISLNK(f.st.st_mode) && last) {
			f.fd = next;
			f.dir = cur;
			f.own_dir = own;
			return FILE_FOUND;
		}
		if (!S_ISLNK(f.st.st_mode)) {
			if (own)
				close(cur);
			cur = next;
			own = true;
			continue;
		}
		ssize_t t = -1;
		if (++links <= MAX_LINKS && may_follow(f.st, cur))
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
	if (own)
		close(cur);
	return FILE_REFUSED;
}

} // namespace

int open_parent_dir(const char *path)
{
	static char dir[PATH_MAX]; // static: the run fits an 8 KiB stack
	strcpy(dir, ".");
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
	found_file f = NO_FILE;
	int found = -1;
	if (walk(AT_FDCWD, dir, f) == FILE_FOUND && S_ISDIR(f.st.st_mode)) {
		found = f.fd;
		f.fd = -1;
	}
	forget_file(f);
	return found;
}

find_result find_file(int dir, const char *name, found_file &f)
{
	f = NO_FILE;
	int fd = openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0 && errno == ENOENT && set_name(f, name, strlen(name))) {
		f.dir = dir;
		return FILE_MISSING;
	}
	if (fd < 0)
		return FILE_REFUSED;
	if (fstat(fd, &f.st) != 0 || S_ISLNK(f.st.st_mode)) { // the walk looks at a link
		close(fd);
		find_result found = walk(dir, name, f);
		if (found != FILE_FOUND)
			return found;
	} else {
		f.fd = fd;
		f.dir = dir;
		set_name(f, name, strlen(name));
	}
	return S_ISREG(f.st.st_mode) ? FILE_FOUND : FILE_REFUSED;
}

void forget_file(found_file &f)
{
	if (f.fd >= 0)
		close(f.fd);
	if (f.own_dir)
		close(f.dir);
	f = NO_FILE;
}

int create_file(const found_file &f, mode_t mode)
{
	return openat(f.dir, f.name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
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
	return open(proc, flags | O_NOCTTY | O_CLOEXEC);
}

bool trusted_owner(uid_t uid, int dir)
{
	return uid == 0 || uid == owner_of(dir);
}
