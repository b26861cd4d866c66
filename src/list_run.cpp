// A run's hold on the list, taken in one order: the directory, the list's way, the
// writers' lock, the readers' lock, the list. The writers' lock is a file beside the
// list that only those who may change the list can hold; the readers' lock is the
// list's directory, which readers hold shared and a run holds exclusively. Root waits
// for nothing another user could hold for more than a bounded time; a way that is
// refused stops the run before it has made anything; a journal is applied only from a
// lock file that no one but who may change the list could have written.
#include "list_run.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "journal.h"

namespace {


// Runs that find the lock file gone from under them start over; a name swapped again
// and again stops the run rather than hold it.
constexpr int MAX_TRIES = 64;

// How long a run waits for readers, counted from its start; and how long at least once
// it has the writers' lock, so that a reader holding the directory for a moment never
// sees a change halfway, also behind a queue of runs. Root waits no longer for a
// writers' lock that others could hold.
constexpr long long READERS_WAIT_MS = 10000;
constexpr long long READERS_LEAST_MS = 1000;

enum lock_trust {
	LOCK_VOID,      // not a lock file of the list's: the run changes nothing
	LOCK_UNTRUSTED, // others than who may change the list could have written it
	LOCK_TOO_OPEN,  // others could open it, and so hold runs up
	LOCK_SOUND,
};

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

long long monotonic_ms()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// Takes an exclusive lock on fd; where it has to wait, as long as it takes unless
// bounded, and otherwise until READERS_WAIT_MS after the run's start, or least ms from
// now if that is later. The run's start is read from the clock when it first has to
// wait: until then only the walk has passed, and a run that never waits never pages in
// the clock. The timer fires again every 10 ms after the deadline: a run held up
// before it reaches flock, stopped or starved, is still woken once it waits there.
bool lock_by(int fd, long long &start, bool bounded, long long least)
{
	int locked;
	if (flock(fd, LOCK_EX | LOCK_NB) == 0)
		return true;
	if (errno != EWOULDBLOCK)
		return false;
	const long long now = monotonic_ms();
	start = start != 0 ? start : now;
	if (!bounded) {
		while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR)
			;
		return locked == 0;
	}
	const long long deadline = start + READERS_WAIT_MS > now + least ? start + READERS_WAIT_MS : now + least;
	struct sigaction act = {};
	struct sigaction old_act = {};
	act.sa_handler = on_alarm; // without SA_RESTART, so that the timer ends the wait
	sigaction(SIGALRM, &act, &old_act);
	sigset_t alarm_only;
	sigset_t old_mask;
	sigemptyset(&alarm_only);
	sigaddset(&alarm_only, SIGALRM);
	sigprocmask(SIG_UNBLOCK, &alarm_only, &old_mask);
	const long long wait = deadline - now; // a deadline passed already arms the timer at once
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
	found_file f;
	errno = 0; // EEXIST says another run made it between a look and a make
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
	forget_file(f);
	return fd;
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

// Root waits as long as it takes only where no one else could hold the lock; a user's
// run, for whom every lock file that counts is one of root's or their own, always does.
// Another run may make the lock file between a look and a make: the look is made again.
bool take_writers_lock(list_run &run, const char *name)
{
	for (int tries = 0; tries < MAX_TRIES; tries++) {
		place p;
		struct stat st;
		const int fd = open_lock(run, name, p, st);
		const bool raced = fd < 0 && errno == EEXIST;
		const bool locked =
			fd >= 0 && lock_by(fd, run.start, run.euid == 0 && !root_only(st), 0);
		if (locked && still_named(p, st)) {
			run.lock = fd;
			run.lock_st = st;
			run.lock_place = p;
			return true;
		}
		if (fd >= 0)
			close(fd);
		forget_place(p);
		if (!locked && !raced)
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
// READERS_WAIT_MS after the run started, or READERS_LEAST_MS from now if later, and the
// run goes on: a queue of runs behind a reader that holds on waits that long once, not
// once for each run. The directory too is held before the list is read: a run that
// took a lock file made anew, beside one removed while its run still held it, waits for
// that run here.
void hold_readers(list_run &run)
{
	if (lock_by(run.dir, run.start, true, READERS_LEAST_MS) || errno != EBADF) // the directory as the walk opened it
		return;
	run.readers = openat(run.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (run.readers >= 0)
		lock_by(run.readers, run.start, true, READERS_LEAST_MS);
}

// A whole journal of this list is put back before anything else happens, and the run
// goes on with the list as put back; any other journal is emptied.
bool recover(list_run &run)
{
	const int fd = run.list.fd >= 0 ? reopen_regular(run.list.fd, O_RDWR) : -1;
	if (run.list.fd >= 0 && fd < 0)
		return false; // the list cannot be put back: the journal waits
	const signal_block block;
	const bool whole = roll_back(run.lock, fd) && (fd < 0 || fstat(fd, &run.list.st) == 0);
	if (fd >= 0)
		close(fd);
	return whole;
}

} // namespace

bool start_run(list_run &run, const char *path)
{
	static const char suffix[] = ".lock";
	const char *slash = strrchr(path, '/');
	const char *name = slash ? slash + 1 : path;
	run = {0, static_cast<uid_t>(getauxval(AT_EUID)), name, -1, {}, NO_PLACE, NO_PLACE, -1, {}, -1, NO_FILE};
	char lock_name[NAME_MAX + 1];
	if (strlen(name) + sizeof suffix > sizeof lock_name)
		return false;
	stpcpy(stpcpy(lock_name, name), suffix);
	run.dir = open_parent_dir(path, run.dir_st);
	if (run.dir < 0 || find_way(run.dir, run.dir_st.st_uid, name, run.way, run.list.st) == FILE_REFUSED ||
	    !take_writers_lock(run, lock_name))
		return false;
	hold_readers(run);
	if (open_at(run.way, run.list) == FILE_REFUSED)
		return false;
	const lock_trust trust = judge_lock(run);
	if (trust == LOCK_VOID || (trust == LOCK_UNTRUSTED && run.euid != 0))
		return false;
	if (trust != LOCK_UNTRUSTED && run.lock_st.st_size > 0 && !recover(run))
		return false;
	if (trust == LOCK_SOUND || run.euid != 0)
		return true;
	// Root replaces a lock file that grants too much; one that others could have written
	// takes its journal with it, unread. A mend that fails leaves that journal unapplied.
	const signal_block block;
	return mend_lock(run) || trust == LOCK_TOO_OPEN;
}

// The directory goes first, so that the run that takes the writers' lock next rarely
// finds it still held.
void end_run(list_run &run)
{
	if (run.readers >= 0)
		close(run.readers);
	forget_place(run.way);
	forget_place(run.lock_place);
	if (run.dir >= 0)
		close(run.dir);
	forget_file(run.list);
	if (run.lock >= 0)
		close(run.lock);
	run.readers = run.lock = run.dir = -1;
}
