// Opening the list's directory and the files in it, as root may safely do in a
// directory that other users can write.
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
	char name[NAME_MAX + 1]; // its name in dir
	struct stat st;          // of fd
};

inline constexpr found_file NO_FILE = {-1, -1, false, {}, {}};

enum find_result {
	FILE_FOUND,   // a regular file: fd
	FILE_MISSING, // nothing there yet: it may be created as name in dir
	FILE_REFUSED, // not a regular file, a link not to follow, or no way there
};

// Opens the directory that holds the file at path as an O_PATH descriptor, or
// returns -1.
int open_parent_dir(const char *path);

// Looks name up in dir, following only the links the kernel's protected_symlinks rule
// would follow. f is left for forget_file, whatever the result.
find_result find_file(int dir, const char *name, found_file &f);

// Closes what find_file opened, and leaves f as NO_FILE.
void forget_file(found_file &f);

// Creates the file find_file left missing, with mode less the umask, and opens it for
// writing; never through a link put there since.
int create_file(const found_file &f, mode_t mode);

// Reopens the regular file behind the O_PATH descriptor path_fd with flags (O_RDONLY,
// O_WRONLY or O_RDWR).
int reopen_regular(int path_fd, int flags);

// Whether a file owned by uid, in the directory dir, is one root may trust: root's own
// or the directory owner's, who could replace it anyway.
bool trusted_owner(uid_t uid, int dir);

#endif
