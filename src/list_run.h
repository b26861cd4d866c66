// One run's hold on the list: its directory, the list's way, the writers' lock and the
// list itself, each resolved once and in that order, and passed down to what changes it.
#ifndef LIST_RUN_H
#define LIST_RUN_H

#include <signal.h>

#include "list_path.h"

struct list_run {
	long long start;     // when the run started, ms on the monotonic clock, read once it first waits; or 0
	uid_t euid;
	const char *name;    // the list's name in it
	int dir;             // the list's directory, open for reading where the caller may; and the readers' lock
	struct stat dir_st;
	place way;           // where the list is, or would be made
	place lock_place;    // where the writers' lock file is
	int lock;            // the writers' lock file, held; open for writing, and reading where the caller may
	struct stat lock_st; // as it is once held
	int readers;         // the readers' lock, where dir could not be read and hold it, or -1
	found_file list;     // the list, or fd -1 where there is none yet; before the lock, its stat as the way saw it
};

// Resolves the list at path and takes the writers' lock on it, then finishes what a run
// cut short by a crash left. False where the run must change nothing.
bool start_run(list_run &run, const char *path);

// Lets go of everything, the readers' lock first.
void end_run(list_run &run);

// Blocks every signal that can wait while it lives: one that arrives while the list is
// being changed takes effect once the change is whole or undone. A file size limit
// fails a write, which is undone: SIGXFSZ is ignored, or it would strike once the block
// ends.
struct signal_block {
	sigset_t old;
	signal_block()
	{
		sigset_t all;
		sigfillset(&all);
		sigprocmask(SIG_BLOCK, &all, &old);
		signal(SIGXFSZ, SIG_IGN);
	}
	~signal_block() { sigprocmask(SIG_SETMASK, &old, nullptr); }
	signal_block(const signal_block &) = delete;
	signal_block &operator=(const signal_block &) = delete;
};

#endif
