// Path resolution: privilege never rises along the way, and nothing is opened but
// directories and regular files.
#include "list_path.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

namespace {

// As many links as the kernel follows in one lookup.
constexpr int MAX_LINKS = 40;

uid_t owner_of(int dir)
{
	struct stat st;
	return fstat(dir, &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// Privilege never rises along a path: root's way may lead on to another user's
// directory, link or file, and from there only that user's own count, so that no one
// can steer root to a file they could not change themselves. (A path that turns from
// one user to another is refused, as systemd refuses an unsafe transition.)
bool admit(uid_t &owner, uid_t uid)
{
	if (owner == 0)
		owner = uid;
	return uid == owner;
}

bool set_name(found_file &f, const char *name, size_t n)
{
	if (n == 0 || n > NAME_MAX)
		return false;
	memcpy(f.name, name, n);
	f.name[n] = '\0';
	return true;
}

// Opens the root directory as cur, if the way there so far may go on to it.
bool restart_at_root(int &cur, bool &own, uid_t &owner, struct stat &st)
{
	if (own)
		close(cur);
	cur = openat(AT_FDCWD, "/", O_PATH | O_DIRECTORY | O_CLOEXEC);
	own = cur >= 0;
	return own && fstat(cur, &st) == 0 && admit(owner, st.st_uid);
}

// Follows path from the directory at, whose files owner may own, one name at a time,
// as O_PATH descriptors, so that nothing it names is opened; a link that may be
// followed puts its target in front of the names still to walk. Leaves in f what the
// last name leads to, or the directory where it would be created. (The names are kept
// off the stack: a run must work under the smallest stack limit.)
find_result walk(int at, uid_t owner, const char *path, found_file &f)
{
	static char left[PATH_MAX];
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
		if (fresh && *p == '/' && !restart_at_root(cur, own, owner, f.st))
			break;
		fresh = false;
		p += strspn(p, "/");
		size_t n = strcspn(p, "/");
		if (n == 0 && own) { // a link led to the root itself
			f.fd = cur;
			f.owner = owner;
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
			f.owner = owner;
			return FILE_MISSING;
		}
		if (next < 0 || fstat(next, &f.st) != 0 || !admit(owner, f.st.st_uid)) {
			if (next >= 0)
				close(next);
			break;
		}
		if (!S_ISLNK(f.st.st_mode) && last) {
			f.fd = next;
			f.dir = cur;
			f.own_dir = own;
			f.owner = owner;
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
		if (++links <= MAX_LINKS)
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
	static char dir[PATH_MAX];
	const char *slash = strrchr(path, '/');
	size_t n = !slash ? 0 : slash == path ? 1 : static_cast<size_t>(slash - path);
	if (n == 0 || n >= sizeof dir)
		return -1;
	memcpy(dir, path, n);
	dir[n] = '\0';
	found_file f = NO_FILE;
	int found = -1;
	if (walk(AT_FDCWD, 0, dir, f) == FILE_FOUND && S_ISDIR(f.st.st_mode)) {
		found = f.fd;
		f.fd = -1;
	}
	forget_file(f);
	return found;
}

find_result find_file(int dir, const char *name, found_file &f)
{
	f = NO_FILE;
	f.owner = owner_of(dir);
	int fd = openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0 && errno == ENOENT && set_name(f, name, strlen(name))) {
		f.dir = dir;
		return FILE_MISSING;
	}
	if (fd < 0)
		return FILE_REFUSED;
	if (fstat(fd, &f.st) != 0 || S_ISLNK(f.st.st_mode)) { // the walk looks at a link
		close(fd);
		find_result found = walk(dir, f.owner, name, f);
		if (found != FILE_FOUND)
			return found;
	} else {
		f.fd = fd;
		f.dir = dir;
		set_name(f, name, strlen(name));
		if (!admit(f.owner, f.st.st_uid))
			return FILE_REFUSED;
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
	int fd = openat(f.dir, f.name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
	if (fd < 0 || f.owner == 0 || geteuid() != 0 || fchown(fd, f.owner, static_cast<gid_t>(-1)) == 0)
		return fd;
	unlinkat(f.dir, f.name, 0); // a file the next run would refuse
	close(fd);
	return -1;
}

bool may_create(const found_file &f)
{
	return geteuid() == 0 || geteuid() == f.owner;
}

// A descriptor opened by O_PATH opens nothing; /proc opens that same inode again, so
// no FIFO or device swapped in at the name is ever opened. Without /proc, nothing is.
// (openat rather than open, here and for the root: musl's open follows O_CLOEXEC with
// an fcntl of its own, for kernels long gone.)
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
	return openat(AT_FDCWD, proc, flags | O_NOCTTY | O_CLOEXEC);
}

bool shared_dir(int dir)
{
	struct stat st;
	return fstat(dir, &st) != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}
