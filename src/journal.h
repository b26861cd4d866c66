// The rollback journal of a removal, kept in the writers' lock file: the list's old
// bytes from the first match to the end, saved and synced before the removal
// overwrites them, so that the next run can put them back. It owns its transitions
// and their syncs: save, commit, roll back.
#ifndef JOURNAL_H
#define JOURNAL_H

#include <sys/stat.h>
#include <sys/types.h>

// How far a removal may rely on the journal it saved.
enum saved_journal {
	JOURNAL_FAILED,   // it could not be saved: change nothing
	JOURNAL_NO_ROOM,  // no room for it (a full disk, a file size limit): none is kept
	JOURNAL_VOLATILE, // on another file system than the list: it outlives a kill, maybe not a power cut
	JOURNAL_SAVED,    // beside the list: it outlives a kill and a power cut
};

// Saves the bytes of the list from `from` to its size, bound to the list, into the
// journal and syncs them.
saved_journal save_journal(int journal, const struct stat &journal_st, int list, const struct stat &list_st,
                           off_t from, off_t size);

// Makes the lines a removal moved reach the disk before its new size does, where the
// journal could not put them back after a power cut.
bool sync_unjournaled(saved_journal saved, int list, bool wrote);

// Ends a removal: done, the journal is emptied on disk, so that it never rolls back a
// later change; otherwise the list is put back as it was.
void end_journal(int journal, saved_journal saved, int list, bool done);

// Puts back into the list what a whole journal of it saved, restores its size and syncs
// it; then empties the journal. A torn journal, or one of another file, is emptied
// alone. list is -1 where there is no list. False where the journal cannot be read or
// the list could not be put back whole, which is then left as it was, with the journal.
bool roll_back(int journal, int list);

#endif
