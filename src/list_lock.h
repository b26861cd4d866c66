// The two locks a run takes: the writers' lock file beside the list, and the list's
// directory, for the readers' sake.
#ifndef LIST_LOCK_H
#define LIST_LOCK_H

#include "list_run.h"

// How long a run waits for readers, counted from its start; and how long at least once
// it has the writers' lock, so that a reader holding the directory for a moment never
// sees a change halfway, also behind a queue of runs. Root waits for a writers' lock
// that others could hold no longer than for readers.
inline constexpr int READERS_WAIT_MS = 10000;
inline constexpr int READERS_LEAST_MS = 1000;

long long monotonic_ms();

// Opens the writers' lock file, name beside the list, or makes it, and takes it; false
// where it does not count, was not had in time, or the run may not make one.
bool take_writers_lock(list_run &run, const char *name);

enum lock_trust {
	LOCK_VOID,      // not a lock file of the list's: the run changes nothing
	LOCK_UNTRUSTED, // others than who may change the list could have written it
	LOCK_TOO_OPEN,  // others could open it, and so hold every run up
	LOCK_SOUND,
};

// Judges the held lock file against the list as it is now.
lock_trust judge_lock(const list_run &run);

// Keeps readers out of the changes the run may make: waits for the directory until
// READERS_WAIT_MS after the run started, or READERS_LEAST_MS from now if that is later,
// then goes on.
void hold_readers(list_run &run);

// Replaces the held lock file, and whatever it holds, with an empty one that grants
// only what the list does; false where that failed, and nothing changed.
bool mend_lock(list_run &run);

#endif
