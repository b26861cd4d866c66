// The two locks a run takes before it reads the list.
#ifndef LIST_LOCK_H
#define LIST_LOCK_H

// How long a run waits for readers, at most twice: before the writers' exclusion, and
// once more if a reader still holds the directory when the run has it.
inline constexpr int READERS_WAIT_SECONDS = 5;

// Held for as long as it lives. Readers and writers need different promises, so there
// are two locks: the writers' exclusion keeps two runs from changing the list at once,
// and the readers' lock keeps a reader from seeing a change halfway.
struct list_lock {
	int dir;     // the directory, locked exclusively for the readers' sake, or -1
	int writers; // the lock file beside the list, or -1
	bool held;   // the writers' exclusion is held: the run may change the list
	list_lock(int list_dir, const char *list_name);
	~list_lock();
	list_lock(const list_lock &) = delete;
	list_lock &operator=(const list_lock &) = delete;
};

#endif
