// Opening the list's directory and the files in it, as root may safely do in a
// directory that other users can write: privilege never rises along the way.
#ifndef LIST_PATH_H
#define LIST_PATH_H

#include <limits.h>
#include <sys/stat.h>

// Where a name in a directory leads once the links that may be followed are: to a
// file, or to the place in a directory where it would be created.
struct found_file {
	int fd;                  // the file as an O_PATH descriptor, or -1
	int dir;                 // the directory that holds it, or would: an O_PATH descriptor, or -1
	bool own_dir;            // dir was opened for this, and is closed with it
	uid_t owner;             // whose files the way there trusts: root's (0) until another user's
	char name[NAME_MAX + 1]; // its name in dir
	struct stat st;          // of fd
};

inline constexpr found_file NO_FILE = {-1, -1, false, 0, {}, {}};

enum find_result {
	FILE_FOUND,   // a regular file: fd
	FILE_MISSING, // nothing there yet: it may be created as name in dir
	FILE_REFUSED, // not a regular file, not the trusted owner's, or no way there
};

// Opens the directory that holds the file at path as an O_PATH descriptor, or
// returns -1. The way there starts as root's; past a directory or a link of another
// user, only that user's own directories and links count.
int open_parent_dir(const char *path);

// Looks name up in dir, under the same rule, trusting dir's owner. f is left for
// forget_file, whatever the result.
find_result find_file(int dir, const char *name, found_file &f);

// Closes what find_file opened, and leaves f as NO_FILE.
void forget_file(found_file &f);

// Creates the file find_file left missing, with mode less the umask, and opens it for
// reading and writing; never through a link put there since. Past another user's directory or
// link, root makes it that user's, as the next run requires.
int create_file(const found_file &f, mode_t mode);

// Whether the caller may create what find_file left missing: root, or the user the
// way there trusts.
bool may_create(const found_file &f);

// Reopens the regular file behind the O_PATH descriptor path_fd with flags (O_RDONLY,
// O_WRONLY or O_RDWR).
int reopen_regular(int path_fd, int flags);

inline bool same_file(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether someone other than its owner may add or remove names in the directory.
bool shared_dir(int dir);

#endif
