// The locks. The writers' lock is a file beside the list that only those who may
// change the list can hold; the readers' lock is the list's directory, which readers
// hold shared and a run, before it changes anything, holds exclusively. Whatever
// another user could hold is waited for a bounded time only, by root.
#include "list_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

// Runs that find the lock file gone from under them start over; a name swapped again
// and again stops the run rather than hold it.
constexpr int MAX_TRIES = 64;
constexpr long long FOREVER = 0;

// Whether there is a list: once locked, the one the run opened, and before, the one its
// way saw.
bool has_list(const list_run &run)
{
	return run.list.st.st_nlink > 0;
}

// A lock file counts only as a file of its own, of root or of the list's owner (whose
// files the place trusts, where there is no list): not the list under another name, nor
// a second name of any other file.
bool counts(const struct stat &lock, const list_run &run)
{
	const uid_t owner = has_list(run) ? run.list.st.st_uid : run.way.owner;
	return S_ISREG(lock.st_mode) && lock.st_nlink == 1 && (lock.st_uid == 0 || lock.st_uid == owner) &&
	       !(has_list(run) && same_file(lock, run.list.st));
}

// Who may change the list: root, its owner, and its group or everyone where the list
// lets them write it. A lock file may grant those rights alone.
mode_t allowed_mode(const struct stat &lock, const list_run &run)
{
	mode_t keep = 0700;
	if (has_list(run) && (run.list.st.st_mode & S_IWGRP) && lock.st_gid == run.list.st.st_gid)
		keep |= 070;
	if (has_list(run) && (run.list.st.st_mode & S_IWOTH))
		keep |= 07;
	return keep;
}

// Only root can open a lock file of root's that grants no one else anything.
bool root_only(const struct stat &lock)
{
	return lock.st_uid == 0 && lock.st_nlink == 1 && (lock.st_mode & 077) == 0;
}

void on_alarm(int /*unused*/) {}

// Takes an exclusive lock on fd, waiting until deadline at most, or as long as it
// takes. The timer fires again every 10 ms after the deadline: a run held up before it
// reaches flock, stopped or starved, is still woken once it waits there.
bool lock_by(int fd, long long deadline)
{
	int locked;
	if (deadline == FOREVER) {
		while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR)
			;
		return locked == 0;
	}
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
	const long long wait = deadline > monotonic_ms() ? deadline - monotonic_ms() : 0;
	struct itimerval timer = {{0, 10000},
	                          {static_cast<time_t>(wait / 1000), static_cast<suseconds_t>(wait % 1000 * 1000 + 1)}};
	setitimer(ITIMER_REAL, &timer, nullptr);
	while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR && monotonic_ms() < deadline)
		;
	struct itimerval off = {};
	setitimer(ITIMER_REAL, &off, nullptr);
	sigprocmask(SIG_SETMASK, &old_mask, nullptr);
	sigaction(SIGALRM, &old_act, nullptr);
	return locked == 0;
}

// Opens the lock file, or makes it, 0600 whatever the umask, where it is missing and
// the caller may: root, or the user whose files its place trusts. One that does not
// count is never waited for: the run changes nothing, at once.
int open_lock(const list_run &run, const char *name, place &p, struct stat &st)
{
	for (int tries = 0; tries < 2; tries++) { // another run may make it in between
		found_file f;
		const find_result found = find_file(run.dir, run.dir_st.st_uid, name, p, f);
		int fd = -1;
		if (found == FILE_FOUND && counts(f.st, run)) {
			st = f.st;
			fd = reopen_regular(f.fd, O_RDWR); // the journal is read back
			if (fd < 0 && errno == EACCES)     // a group granted writing alone
				fd = reopen_regular(f.fd, O_WRONLY);
		} else if (found == FILE_MISSING && (run.euid == 0 || run.euid == p.owner)) {
			fd = create_file(p, 0600);
			if (fd >= 0 && (fchmod(fd, 0600) != 0 || fstat(fd, &st) != 0)) {
				close(fd);
				fd = -1;
			}
		}
		const bool raced = found == FILE_MISSING && fd < 0 && errno == EEXIST;
		forget_file(f);
		if (!raced)
			return fd;
		forget_place(p);
	}
	return -1;
}

// The lock is the file its name leads to: a run that waited on a file removed or
// replaced meanwhile holds nothing the next run takes. Leaves in held the file as it is
// now.
bool still_named(const place &p, struct stat &held)
{
	struct stat now;
	if (fstatat(p.dir, p.name, &now, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(now, held))
		return false;
	held = now;
	return true;
}

} // namespace

long long monotonic_ms()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// Root waits as long as it takes only where no one else could hold the lock; a user's
// run, for whom every lock file that counts is one of root's or their own, always does.
bool take_writers_lock(list_run &run, const char *name)
{
	for (int tries = 0; tries < MAX_TRIES; tries++) {
		place p;
		struct stat st;
		const int fd = open_lock(run, name, p, st);
		if (fd < 0) {
			forget_place(p);
			return false;
		}
		const bool locked =
			lock_by(fd, run.euid != 0 || root_only(st) ? FOREVER : run.start + READERS_WAIT_MS);
		if (locked && still_named(p, st)) {
			run.lock = fd;
			run.lock_st = st;
			run.lock_place = p;
			return true;
		}
		close(fd);
		forget_place(p);
		if (!locked)
			return false;
	}
	return false;
}

lock_trust judge_lock(const list_run &run)
{
	const struct stat &lock = run.lock_st;
	const mode_t keep = allowed_mode(lock, run);
	if (!counts(lock, run))
		return LOCK_VOID;
	if ((lock.st_mode & 022 & ~keep) != 0)
		return LOCK_UNTRUSTED;
	return (lock.st_mode & 0777 & ~keep) != 0 ? LOCK_TOO_OPEN : LOCK_SOUND;
}

// A mode change cannot take back a descriptor opened before it, so the lock file is
// replaced: a new file under a random name no one can take first, with the old one's
// owner and the rights it may keep, locked, and renamed over the old one. Runs waiting
// on the old one find it no longer named and start over.
bool mend_lock(list_run &run)
{
	const place &p = run.lock_place;
	const struct stat old = run.lock_st;
	char temp[NAME_MAX + 1];
	int fd = -1;
	for (int tries = 0; fd < 0 && tries < 8; tries++) {
		uint64_t r;
		if (getrandom(&r, sizeof r, 0) != sizeof r ||
		    snprintf(temp, sizeof temp, "%s.%016llx", p.name, static_cast<unsigned long long>(r)) >=
		            static_cast<int>(sizeof temp))
			return false;
		fd = openat(p.dir, temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
		if (fd < 0 && errno != EEXIST)
			return false;
	}
	if (fd < 0)
		return false;
	if (fchown(fd, old.st_uid, old.st_gid) != 0 || fchmod(fd, old.st_mode & allowed_mode(old, run)) != 0 ||
	    flock(fd, LOCK_EX | LOCK_NB) != 0 || renameat(p.dir, temp, p.dir, p.name) != 0 || fstat(fd, &run.lock_st) != 0) {
		unlinkat(p.dir, temp, 0);
		close(fd);
		return false;
	}
	close(run.lock);
	run.lock = fd;
	return true;
}

// Anyone who can read the directory can lock it, so the wait for it ends
// READERS_WAIT_MS after the run started: a queue of runs behind a reader that holds on
// waits that long once, not once for each run, and each run still gives a reader
// READERS_LEAST_MS.
void hold_readers(list_run &run)
{
	run.readers = openat(run.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	const long long least = monotonic_ms() + READERS_LEAST_MS;
	if (run.readers >= 0)
		lock_by(run.readers, run.start + READERS_WAIT_MS > least ? run.start + READERS_WAIT_MS : least);
}
