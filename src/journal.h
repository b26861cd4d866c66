// The rollback journal of a removal, kept in the writers' lock file: the list's old
// bytes from the first match to the end, saved and synced before the removal
// overwrites them, so that the next run can put them back.
#ifndef JOURNAL_H
#define JOURNAL_H

#include <stddef.h>
#include <sys/types.h>

// How far a removal may rely on the journal it saved.
enum saved_journal {
	JOURNAL_FAILED,  // it could not be saved: change nothing
	JOURNAL_NO_ROOM, // no room for it (a full disk, a file size limit): none is kept
	JOURNAL_VOLATILE, // on another file system than the list: it outlives a kill, maybe not a power cut
	JOURNAL_SAVED,   // beside the list: it outlives a kill and a power cut
};

// Saves the bytes of the list fd from `from` to its size, with the list's identity,
// into journal and syncs them. buf, of buf_size bytes, is read through.
saved_journal save_journal(int journal, int list, off_t from, off_t size, char *buf, size_t buf_size);

// Puts back into the list fd what a whole journal saved of it, restores its size and
// syncs it; then clears the journal. A journal that is torn, or saved from another
// file, is cleared alone. list is -1 where there is no list. Returns false when the
// journal cannot be read or the list could not be put back, and keeps the journal for
// a later run then.
bool roll_back(int journal, int list, char *buf, size_t buf_size);

// Marks the change done: the journal is emptied, and that is on disk before the run
// goes on, so that it never rolls back a later change.
bool clear_journal(int journal);

// Whether the journal holds anything (1) or not (0), or -1 where that cannot be told.
// It needs no right to read the lock file.
int journal_held(int journal);

#endif
