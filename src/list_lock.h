// The two locks a run takes before it reads the list.
#ifndef LIST_LOCK_H
#define LIST_LOCK_H

// How long a run waits for readers, counted from its start; and how long at least once
// it has the writers' lock, so that a reader holding the directory for a moment never
// sees a change halfway, also behind a queue of runs.
inline constexpr int READERS_WAIT_MS = 10000;
inline constexpr int READERS_LEAST_MS = 1000;

// Held for as long as it lives. Readers and writers need different promises, so there
// are two locks: the writers' lock keeps two runs from changing the list at once, and
// the readers' lock keeps a reader from seeing a change halfway.
struct list_lock {
	int dir;     // the directory, locked exclusively for the readers' sake, or -1
	int writers; // the lock file beside the list, or -1
	bool held;   // the writers' lock is held: the run may change the list
	list_lock(int list_dir, const char *list_name);
	~list_lock();
	list_lock(const list_lock &) = delete;
	list_lock &operator=(const list_lock &) = delete;
};

#endif
