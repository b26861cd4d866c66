// The directory lock that makes runs take turns, with a bounded wait.
#ifndef LIST_LOCK_H
#define LIST_LOCK_H

inline constexpr unsigned LOCK_WAIT_SECONDS = 5;

enum lock_state {
	LOCK_HELD,    // runs take turns
	LOCK_WITHOUT, // the directory cannot be locked, or is held too long: go on without
	LOCK_DENIED,  // the caller may not read the directory, so it must change nothing
};

// Locks the directory that holds the list at path, for as long as it lives.
struct list_lock {
	int fd;
	lock_state state;
	explicit list_lock(const char *path);
	~list_lock();
	list_lock(const list_lock &) = delete;
	list_lock &operator=(const list_lock &) = delete;
};

#endif
