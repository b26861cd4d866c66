// The print list: a text file of names, one per line, changed in place.
#ifndef PRINT_LIST_H
#define PRINT_LIST_H

#include <sys/types.h>

#include "list_run.h"

inline constexpr const char *LIST_PATH = "/usr/local/Varnolt/inf/vnPrintList";

// The change a run makes: an add, a removal, or, for any other option letter, none.
inline constexpr int LIST_REMOVE = 0;
inline constexpr int LIST_ADD = 1;
inline constexpr int LIST_KEEP = -1;

enum list_state {
	LIST_UNSAFE,  // unreadable, changed while read, or the name can't be a line
	LIST_MISSING, // no file yet: an empty list
	LIST_LOADED,
};

// What load_list learned, for the save_list that follows it.
struct print_list {
	list_state state;
	off_t size;        // of the file as it was loaded
	off_t first_match; // offset of the first line equal to the name, or -1
	bool ends_in_newline;
};

// The change an option letter asks for.
int mode_of(char letter);

// Reads the list the run holds, up to the first line equal to name.
print_list load_list(const list_run &run, const char *name);

// Makes the change, if it changes the list, and sees it on disk.
void save_list(const list_run &run, const print_list &list, const char *name, int mode);

#endif
