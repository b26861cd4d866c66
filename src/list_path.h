// Opening the list's directory and the files in it, as root may safely do in a
// directory that other users can write.
#ifndef LIST_PATH_H
#define LIST_PATH_H

#include <sys/stat.h>

// Opens the directory that holds the file at path as an O_PATH descriptor, or
// returns -1.
int open_parent_dir(const char *path);

// Opens the regular file name in the directory dir with flags (O_RDONLY, O_WRONLY or
// O_RDWR), or returns -1 with errno ENOENT when nothing is there.
int open_regular(int dir, const char *name, int flags);

// Reopens the regular file behind the O_PATH descriptor path_fd with flags.
int reopen_regular(int path_fd, int flags);

// Opens name in dir as an O_PATH descriptor of a regular file, which it leaves in st,
// or returns -1 with errno ENOENT when nothing is there.
int find_regular(int dir, const char *name, struct stat &st);

#endif
