// The locks: readers hold the list's directory shared; a run holds it exclusively,
// waiting for it 10 s at most in all, and holds the writers' exclusion, a lock file
// only those who may change the list can take, waiting for it as long as it takes.
#include "list_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "list_path.h"

namespace {

void on_alarm(int /*unused*/) {}

long long monotonic_ms()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// Anyone who can read the directory can lock it, so the wait for it is bounded. The
// timer fires again every 10 ms after the deadline: a run held up before it reaches
// flock, stopped or starved, is still woken once it waits there.
bool wait_for_readers(int fd)
{
	if (flock(fd, LOCK_EX | LOCK_NB) == 0)
		return true;
	if (errno != EWOULDBLOCK)
		return false;
	struct sigaction act = {};
	struct sigaction old_act = {};
	act.sa_handler = on_alarm; // without SA_RESTART, so that the timer ends the wait
	sigaction(SIGALRM, &act, &old_act);
	sigset_t alarm_only;
	sigset_t old_mask;
	sigemptyset(&alarm_only);
	sigaddset(&alarm_only, SIGALRM);
	sigprocmask(SIG_UNBLOCK, &alarm_only, &old_mask);
	const long long deadline = monotonic_ms() + READERS_WAIT_SECONDS * 1000LL;
	struct itimerval timer = {{0, 10000}, {READERS_WAIT_SECONDS, 0}};
	setitimer(ITIMER_REAL, &timer, nullptr);
	int locked;
	while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR && monotonic_ms() < deadline)
		;
	struct itimerval off = {};
	setitimer(ITIMER_REAL, &off, nullptr);
	sigprocmask(SIG_SETMASK, &old_mask, nullptr);
	sigaction(SIGALRM, &old_act, nullptr);
	return locked == 0;
}

bool wait_for_writers(int fd)
{
	int locked;
	while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR)
		;
	return locked == 0;
}

// Opens the lock file for writing, as only those who may change the list can. It
// counts only as root's or the directory owner's: one another user put there could be
// held for ever. Only they make it, with no permission for others, whatever the umask.
int open_writers_lock(int dir, const char *name)
{
	for (int tries = 0; tries < 2; tries++) { // another run may make it in between
		found_file f;
		const find_result found = find_file(dir, name, f);
		int fd = -1;
		if (found == FILE_FOUND && trusted_owner(f.st.st_uid, f.dir)) {
			fd = reopen_regular(f.fd, O_RDWR); // the journal is read back
			if (fd < 0 && errno == EACCES)     // a group granted writing alone
				fd = reopen_regular(f.fd, O_WRONLY);
		} else if (found == FILE_MISSING && trusted_owner(geteuid(), f.dir))
			fd = create_file(f, 0600);
		const bool raced = found == FILE_MISSING && fd < 0 && errno == EEXIST;
		if (fd >= 0 && found == FILE_MISSING && fchmod(fd, 0600) != 0) {
			close(fd);
			fd = -1;
		}
		forget_file(f);
		if (!raced)
			return fd;
	}
	return -1;
}

// A lock file that grants others more than the list lets them write, as 1.2.0 made it,
// would let them hold every run up: a run that holds it takes those rights back. An
// administrator who gives a group both the list and the lock file keeps that.
void narrow_writers_lock(int fd, int dir, const char *list_name)
{
	struct stat lock;
	if (fstat(fd, &lock) != 0 || (lock.st_mode & 077) == 0)
		return;
	mode_t keep = lock.st_mode & 07700;
	found_file f;
	if (find_file(dir, list_name, f) == FILE_FOUND) {
		if (f.st.st_mode & S_IWGRP)
			keep |= lock.st_mode & 070;
		if (f.st.st_mode & S_IWOTH)
			keep |= lock.st_mode & 07;
	}
	forget_file(f);
	if (keep != (lock.st_mode & 07777))
		fchmod(fd, keep);
}

} // namespace

// The readers' lock comes first and is never waited for while holding the writers'
// exclusion: a slow reader then costs each run 10 s at most, not 5 s for every run
// queued behind it. A run that gave up on the readers may find the directory held by
// a run queued behind it rather than by a reader, and the two cannot be told apart,
// so it lets the exclusion go and waits once more; the run that has the exclusion then
// waits for nothing else.
list_lock::list_lock(int list_dir, const char *list_name) : dir(-1), writers(-1), held(false)
{
	static const char suffix[] = ".lock";
	char name[NAME_MAX + 1];
	if (strlen(list_name) + sizeof suffix > sizeof name)
		return;
	stpcpy(stpcpy(name, list_name), suffix);
	dir = openat(list_dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	bool readers = dir >= 0 && wait_for_readers(dir);
	writers = open_writers_lock(list_dir, name);
	held = writers >= 0 && wait_for_writers(writers);
	if (held && !readers && dir >= 0 && flock(dir, LOCK_EX | LOCK_NB) != 0) {
		flock(writers, LOCK_UN);
		readers = wait_for_readers(dir);
		held = wait_for_writers(writers);
		if (held && !readers)
			flock(dir, LOCK_EX | LOCK_NB);
	}
	if (held)
		narrow_writers_lock(writers, list_dir, list_name);
}

// The directory goes first, so that the run that takes the exclusion next rarely
// finds it still held.
list_lock::~list_lock()
{
	if (dir >= 0)
		close(dir);
	if (writers >= 0)
		close(writers);
}
