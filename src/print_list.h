// The print list: a text file of names, one per line, changed in place.
#ifndef PRINT_LIST_H
#define PRINT_LIST_H

#include <sys/types.h>

#include <cstddef>

inline constexpr const char *LIST_PATH = "/usr/local/Varnolt/inf/vnPrintList";

inline constexpr int LIST_REMOVE = 0;
inline constexpr int LIST_ADD = 1;

// The list streams through one static buffer of this size. The fuzz build makes it
// small, so that lines straddle fills all the time.
#ifndef PRINTLIST_READ_SIZE
#define PRINTLIST_READ_SIZE 65536
#endif
inline constexpr size_t READ_SIZE = PRINTLIST_READ_SIZE;

enum list_state {
	LIST_UNSAFE,  // unreadable, not a regular file, or the name can't be a line
	LIST_MISSING, // no file yet: an empty list
	LIST_LOADED,
};

// What load_list learned, for the save_list that follows it.
struct print_list {
	list_state state;
	dev_t dev;
	ino_t ino;
	off_t size;        // of the file as it was loaded
	off_t first_match; // offset of the first line equal to the name, or -1
	bool ends_in_newline;
};

void clear_list();
void load_list(const char *name, const char *path = LIST_PATH);
void save_list(const char *name, int mode, const char *path = LIST_PATH);

#endif
