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

bool set_name(place &p, const char *name, size_t n)
{
	if (n == 0 || n > NAME_MAX)
		return false;
	memcpy(p.name, name, n);
	p.name[n] = '\0';
	return true;
}

// A directory of root's that no one else may write: no one but root can change a name
// in it.
bool root_closed(const struct stat &st)
{
	return S_ISDIR(st.st_mode) && st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Opens the directory the way has reached by path, path[0, depth), or the root where
// it has gone no further.
bool open_rooted(int &cur, bool &own, char *path, size_t depth)
{
	const char cut = path[depth];
	path[depth] = '\0';
	cur = openat(AT_FDCWD, depth > 0 ? path : "/", O_PATH | O_DIRECTORY | O_CLOEXEC);
	path[depth] = cut;
	own = cur >= 0;
	return own;
}

// Follows path from the directory at, whose files owner may own, one name at a time,
// as O_PATH descriptors, so that nothing it names is opened; a link that may be
// followed puts its target in front of the names still to walk. From the root, the
// process's own, the way goes on by its absolute path, each directory looked at but not
// opened, for as long as it is root's closed directories: no one else can change it.
// Leaves in want, where given, where the last name is, and in f what it is. (path is
// len bytes; the names are kept off the stack: a run must work under the smallest stack
// limit.)
find_result walk(int at, uid_t owner, const char *path, size_t len, place *want, found_file &f)
{
	static char left[PATH_MAX];
	static char target[PATH_MAX];
	if (len == 0 || len >= sizeof left)
		return FILE_REFUSED;
	memcpy(left, path, len);
	left[len] = '\0';
	place p = NO_PLACE;
	char *s = left;
	int cur = at; // the directory reached: not the walk's own until it has opened one
	bool own = false;
	bool by_path = false; // cur is left[0, depth), not opened
	size_t depth = 0;
	bool fresh = true;    // s starts a path: a '/' there is the root
	find_result found = FILE_REFUSED;
	for (int links = 0;;) {
		if (fresh && *s == '/') {
			if (own)
				close(cur);
			cur = AT_FDCWD;
			own = false;
			depth = 0;
			if (fstatat(AT_FDCWD, "/", &f.st, 0) != 0 || !admit(owner, f.st.st_uid))
				break;
			by_path = root_closed(f.st);
			if (!by_path && !open_rooted(cur, own, left, 0))
				break;
		}
		fresh = false;
		s += strspn(s, "/");
		size_t n = strcspn(s, "/");
		if (!set_name(p, s, n))
			break;
		s += n;
		const bool last = s[strspn(s, "/")] == '\0';
		const char cut = *s; // while the way is taken by path, it is left up to this name
		if (by_path) {
			*s = '\0';
			const bool closed = !last && fstatat(AT_FDCWD, left, &f.st, AT_SYMLINK_NOFOLLOW) == 0 && root_closed(f.st);
			*s = cut;
			if (closed) {
				depth = static_cast<size_t>(s - left);
				continue;
			}
			if (want || !last) { // a place, or a way that goes on from here, needs the directory open
				by_path = false;
				if (!open_rooted(cur, own, left, depth))
					break;
			}
		}
		const char *at_name = p.name;
		if (by_path) {
			*s = '\0';
			at_name = left;
		}
		// The directory a caller asked for is opened to be read, where it can be, so that
		// it can also be locked and synced; a link, or one the caller may not read, is not.
		int next = last && !want ? openat(cur, at_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
		if (next < 0)
			next = openat(cur, at_name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
		*s = cut;
		p.dir = cur;
		p.own_dir = own;
		p.owner = owner;
		if (next < 0 && errno == ENOENT && last) {
			found = FILE_MISSING;
			break;
		}
		uid_t may_own = owner; // the last file may be the owner's, or anyone's in root's place
		if (next < 0 || fstat(next, &f.st) != 0 || !admit(may_own, f.st.st_uid)) {
			if (next >= 0)
				close(next);
			break;
		}
		if (!S_ISLNK(f.st.st_mode) && last) {
			f.fd = next;
			found = FILE_FOUND;
			break;
		}
		owner = may_own;
		if (!S_ISLNK(f.st.st_mode)) {
			if (own)
				close(cur);
			cur = next;
			own = true;
			continue;
		}
		ssize_t t = -1;
		if (by_path) { // a relative target goes on from the link's directory
			by_path = false;
			if (!open_rooted(cur, own, left, depth)) {
				close(next);
				break;
			}
		}
		if (++links <= MAX_LINKS)
			t = readlinkat(next, "", target, sizeof target);
		close(next);
		size_t rest = strlen(s);
		if (t <= 0 || static_cast<size_t>(t) + rest >= sizeof left)
			break;
		memmove(left + t, s, rest + 1);
		memcpy(left, target, static_cast<size_t>(t));
		s = left;
		fresh = true;
	}
	if (found != FILE_REFUSED && want)
		*want = p;
	else if (own)
		close(cur);
	return found;
}

// A found file counts only as a regular file.
find_result regular(find_result found, const found_file &f)
{
	return found == FILE_FOUND && !S_ISREG(f.st.st_mode) ? FILE_REFUSED : found;
}

bool start_place(place &p, int dir, uid_t owner, const char *name)
{
	p = {dir, false, owner, {}};
	return set_name(p, name, strlen(name));
}

} // namespace

int open_parent_dir(const char *path, struct stat &st)
{
	const char *slash = strrchr(path, '/');
	const size_t n = !slash ? 0 : slash == path ? 1 : static_cast<size_t>(slash - path);
	found_file f = NO_FILE;
	int found = -1;
	if (walk(AT_FDCWD, 0, path, n, nullptr, f) == FILE_FOUND && S_ISDIR(f.st.st_mode)) {
		found = f.fd;
		st = f.st;
		f.fd = -1;
	}
	forget_file(f);
	return found;
}

find_result find_way(int dir, uid_t owner, const char *name, place &p, struct stat &st)
{
	st = {};
	if (!start_place(p, dir, owner, name))
		return FILE_REFUSED;
	if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return errno == ENOENT ? FILE_MISSING : FILE_REFUSED;
	if (!S_ISLNK(st.st_mode))
		return S_ISREG(st.st_mode) && (owner == 0 || st.st_uid == owner) ? FILE_FOUND : FILE_REFUSED;
	found_file f = NO_FILE;
	const find_result found = regular(walk(dir, owner, name, strlen(name), &p, f), f);
	st = found == FILE_FOUND ? f.st : NO_FILE.st;
	forget_file(f);
	return found;
}

find_result open_at(const place &p, found_file &f)
{
	f = NO_FILE;
	f.fd = openat(p.dir, p.name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
	if (f.fd < 0)
		return errno == ENOENT ? FILE_MISSING : FILE_REFUSED;
	if (fstat(f.fd, &f.st) != 0 || !S_ISREG(f.st.st_mode) || (p.owner != 0 && f.st.st_uid != p.owner))
		return FILE_REFUSED;
	return FILE_FOUND;
}

find_result find_file(int dir, uid_t owner, const char *name, place &p, found_file &f)
{
	f = NO_FILE;
	if (!start_place(p, dir, owner, name))
		return FILE_REFUSED;
	const find_result found = open_at(p, f);
	if (found != FILE_REFUSED || !S_ISLNK(f.st.st_mode))
		return found;
	forget_file(f);
	return regular(walk(dir, owner, name, strlen(name), &p, f), f);
}

void forget_place(place &p)
{
	if (p.own_dir)
		close(p.dir);
	p = NO_PLACE;
}

void forget_file(found_file &f)
{
	if (f.fd >= 0)
		close(f.fd);
	f = NO_FILE;
}

int create_file(const place &p, mode_t mode)
{
	int fd = openat(p.dir, p.name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
	if (fd < 0 || p.owner == 0 || geteuid() != 0 || fchown(fd, p.owner, static_cast<gid_t>(-1)) == 0)
		return fd;
	unlinkat(p.dir, p.name, 0); // a file the next run would refuse
	close(fd);
	return -1;
}

// A descriptor opened by O_PATH opens nothing; /proc opens that same inode again, so
// no FIFO or device swapped in at the name is ever opened. Without /proc, nothing is.
// (openat rather than open: musl's open follows O_CLOEXEC with an fcntl of its own,
// for kernels long gone; and no printf, whose code every run would have to page in.)
int reopen_regular(int path_fd, int flags)
{
	char proc[32] = "/proc/self/fd/";
	char *p = proc + strlen(proc);
	int digits = 1;
	for (int v = path_fd; v >= 10; v /= 10)
		digits++;
	p[digits] = '\0';
	for (int v = path_fd; digits > 0; v /= 10)
		p[--digits] = static_cast<char>('0' + v % 10);
	return openat(AT_FDCWD, proc, flags | O_NOCTTY | O_CLOEXEC);
}
