// Resolving the list's directory and the files in it, as root may safely do in a
// directory that other users can write: privilege never rises along the way.
#ifndef LIST_PATH_H
#define LIST_PATH_H

#include <limits.h>
#include <sys/stat.h>

// A name in a directory reached by the rule: where a file is, or would be created.
struct place {
	int dir;                 // an O_PATH descriptor
	bool own_dir;            // opened for this place, and closed with it
	uid_t owner;             // whose files count there: root's (0) until another user's
	char name[NAME_MAX + 1];
};

// A regular file found at a place.
struct found_file {
	int fd; // an O_PATH descriptor, or -1
	struct stat st;
};

inline constexpr place NO_PLACE = {-1, false, 0, {}};
inline constexpr found_file NO_FILE = {-1, {}};

enum find_result {
	FILE_FOUND,   // a regular file
	FILE_MISSING, // nothing there yet: it may be created at the place
	FILE_REFUSED, // not a regular file, not the place owner's, or no way there
};

// Opens the directory that holds the file at path, for reading where the caller may,
// else as an O_PATH descriptor, with its stat, or returns -1. The way there starts as root's; past a directory or a link of
// another user, only that user's own directories and links count, so the directory's
// owner is whose files count in it.
int open_parent_dir(const char *path, struct stat &st);

// Decides where name in dir leads, following the links that may be followed, without
// opening the file: the place to open it at once locked, or to create it; st is what
// is there now, or zeroed.
find_result find_way(int dir, uid_t owner, const char *name, place &p, struct stat &st);

// Opens what is at p now, a link included, without following it.
find_result open_at(const place &p, found_file &f);

// Opens what name in dir leads to, following links, and leaves its place in p.
find_result find_file(int dir, uid_t owner, const char *name, place &p, found_file &f);

// Closes what the functions above opened.
void forget_place(place &p);
void forget_file(found_file &f);

// Creates the file at p, with mode less the umask, and opens it for reading and
// writing; never through a link put there since. Past another user's directory or
// link, root makes it that user's, as the next run requires.
int create_file(const place &p, mode_t mode);

// Reopens the regular file behind the O_PATH descriptor path_fd with flags.
int reopen_regular(int path_fd, int flags);

inline bool same_file(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether someone other than its owner may add or remove names in the directory.
inline bool shared_dir(const struct stat &dir)
{
	return (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

#endif
