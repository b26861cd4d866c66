// The print list: a text file of names, one per line, changed in place.
#ifndef PRINT_LIST_H
#define PRINT_LIST_H

#include <stddef.h>
#include <sys/types.h>

#include "list_path.h"

inline constexpr const char *LIST_PATH = "/usr/local/Varnolt/inf/vnPrintList";

constexpr const char *base_name(const char *path)
{
	const char *base = path;
	for (; *path; path++)
		if (*path == '/')
			base = path + 1;
	return base;
}

// The list's name in its directory, which is all that functions given the directory use.
inline constexpr const char *LIST_NAME = base_name(LIST_PATH);

inline constexpr int LIST_REMOVE = 0;
inline constexpr int LIST_ADD = 1;

// The list streams through a static buffer of this size. The fuzz build makes it
// small, so that lines straddle fills all the time.
#ifndef PRINTLIST_BUFFER_SIZE
#define PRINTLIST_BUFFER_SIZE 65536
#endif
inline constexpr size_t BUFFER_SIZE = PRINTLIST_BUFFER_SIZE;

enum list_state {
	LIST_UNSAFE,  // unreadable, not a regular file, or the name can't be a line
	LIST_MISSING, // no file yet: an empty list
	LIST_LOADED,
};

// What load_list learned, for the save_list that follows it.
struct print_list {
	list_state state;
	found_file file;   // the list, or where an add creates it
	off_t size;        // of the file as it was loaded
	off_t first_match; // offset of the first line equal to the name, or -1
	bool ends_in_newline;
};

// The list is the file LIST_NAME in the directory dir, an O_PATH descriptor; journal
// is the writers' lock file, open for reading and writing, and held.
void clear_list();
void load_list(const char *name, int dir);
void save_list(const char *name, int mode, int dir, int journal);

// Finishes what a run cut short left: a removal whose journal is whole is undone, on
// disk, before anything else changes. False when that could not be done, and the run
// must change nothing.
bool recover_list(int journal, int dir);

#endif
