// The locks. The writers' lock is a file beside the list that only those who may
// change the list can hold, waited for as long as it takes; the readers' lock is the
// list's directory, which readers hold shared and a run, once it has the writers' lock,
// holds exclusively, waiting for it a bounded time.
#include "list_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "list_path.h"

namespace {

// Runs that find the lock file gone from under them start over; a name swapped again
// and again stops the run rather than hold it.
constexpr int MAX_TRIES = 64;

// Who may change the list: root, its owner, and its group where it grants that write.
// Where there is no list, its owner is whose files its place trusts.
struct list_rights {
	bool exists;
	struct stat st;
	uid_t owner;
};

list_rights rights_of(int dir, const char *list_name)
{
	found_file f;
	list_rights r = {};
	r.exists = find_file(dir, list_name, f) == FILE_FOUND;
	r.st = f.st;
	r.owner = r.exists ? f.st.st_uid : f.owner;
	forget_file(f);
	return r;
}

// A lock file counts only as a file of its own, of root or of who may change the list:
// not the list under another name, nor a second name of any other file.
bool counts(const struct stat &lock, const list_rights &list)
{
	return lock.st_nlink == 1 && (lock.st_uid == 0 || lock.st_uid == list.owner) &&
	       !(list.exists && same_file(lock, list.st));
}

// The permissions a lock file may grant: its owner's, and those of the list's group or
// of everyone where the list lets them write it.
mode_t allowed_mode(const struct stat &lock, const list_rights &list)
{
	mode_t keep = 0700;
	if (list.exists && (list.st.st_mode & S_IWGRP) && lock.st_gid == list.st.st_gid)
		keep |= 070;
	if (list.exists && (list.st.st_mode & S_IWOTH))
		keep |= 07;
	return keep;
}

void on_alarm(int /*unused*/) {}

long long monotonic_ms()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// Anyone who can read the directory can lock it, so the wait for it ends at deadline.
// The timer fires again every 10 ms after that: a run held up before it reaches flock,
// stopped or starved, is still woken once it waits there.
bool wait_for_readers(int fd, long long deadline)
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
	const long long wait = deadline - monotonic_ms();
	struct itimerval timer = {{0, 10000},
	                          {static_cast<time_t>(wait / 1000), static_cast<suseconds_t>(wait % 1000 * 1000 + 1)}};
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

// Whether a lock file may be waited for: one that does not count could be held for
// ever. Root's, with no other name, may (who else can open it, and whether it is the
// list itself, is settled once it is held); another user's only where they own the
// list.
bool may_wait_on(const struct stat &lock, int dir, const char *list_name)
{
	return lock.st_uid == 0 ? lock.st_nlink == 1 : counts(lock, rights_of(dir, list_name));
}

// Opens the lock file, or makes it, 0600 whatever the umask, where it is missing and
// the caller may: root, or the user whose files its place trusts. One that does not
// count is never waited for: the run changes nothing, at once.
int open_writers_lock(int dir, const char *name, const char *list_name)
{
	for (int tries = 0; tries < 2; tries++) { // another run may make it in between
		found_file f;
		const find_result found = find_file(dir, name, f);
		int fd = -1;
		if (found == FILE_FOUND && may_wait_on(f.st, dir, list_name)) {
			fd = reopen_regular(f.fd, O_RDWR); // the journal is read back
			if (fd < 0 && errno == EACCES)     // a group granted writing alone
				fd = reopen_regular(f.fd, O_WRONLY);
		} else if (found == FILE_MISSING && may_create(f))
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

// The lock is the file its name leads to, and still one that counts: a run that waited
// on a file removed or replaced meanwhile holds nothing the next run takes.
bool still_named(int fd, int dir, const char *name, const list_rights &list)
{
	found_file f;
	struct stat held;
	const bool named = find_file(dir, name, f) == FILE_FOUND && fstat(fd, &held) == 0 && same_file(held, f.st) &&
	                   counts(held, list);
	forget_file(f);
	return named;
}

// Takes the writers' lock, and starts over while the file it got is no longer the one
// named. Leaves in list who may change the list, as it is once the lock is held.
int take_writers_lock(int dir, const char *lock_name, const char *list_name, list_rights &list)
{
	for (int tries = 0; tries < MAX_TRIES; tries++) {
		int fd = open_writers_lock(dir, lock_name, list_name);
		if (fd < 0)
			return -1;
		const bool locked = wait_for_writers(fd);
		list = rights_of(dir, list_name);
		if (locked && still_named(fd, dir, lock_name, list))
			return fd;
		close(fd);
	}
	return -1;
}

// A lock file that grants more than the list does lets others hold every run up, and a
// mode change cannot take back a descriptor opened before it: so it is replaced. The
// new file is made under a name of its own, with the old one's owner and the rights it
// may keep, locked, and renamed over the old one; runs waiting on the old one find it
// no longer named and start over. Only root replaces it, and only while it holds no
// journal that could be trusted.
int mend_writers_lock(int fd, int dir, const char *lock_name, const list_rights &list)
{
	struct stat lock;
	if (geteuid() != 0 || fstat(fd, &lock) != 0)
		return fd;
	const mode_t keep = allowed_mode(lock, list);
	const bool others_write = (lock.st_mode & 022 & ~keep) != 0;
	if ((lock.st_mode & 0777 & ~keep) == 0 || (lock.st_size != 0 && !others_write))
		return fd;
	found_file f;
	char temp[NAME_MAX + 1];
	int mended = -1;
	if (find_file(dir, lock_name, f) == FILE_FOUND && same_file(f.st, lock) &&
	    snprintf(temp, sizeof temp, "%s.%ld", f.name, static_cast<long>(getpid())) < static_cast<int>(sizeof temp))
		mended = openat(f.dir, temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (mended >= 0 && (fchown(mended, lock.st_uid, lock.st_gid) != 0 || fchmod(mended, lock.st_mode & keep) != 0 ||
	                    flock(mended, LOCK_EX | LOCK_NB) != 0 || renameat(f.dir, temp, f.dir, f.name) != 0)) {
		unlinkat(f.dir, temp, 0);
		close(mended);
		mended = -1;
	}
	forget_file(f);
	if (mended < 0)
		return fd;
	close(fd);
	return mended;
}

} // namespace

// The writers' lock comes first and is waited for without the directory, so that runs
// queued behind a slow or stopped one never keep readers out. The directory's wait ends
// READERS_WAIT_MS after the run started: a queue of runs behind a reader that holds on
// waits that long once, not once for each run, and each run still gives a reader
// READERS_LEAST_MS.
list_lock::list_lock(int list_dir, const char *list_name) : dir(-1), writers(-1), held(false)
{
	static const char suffix[] = ".lock";
	const long long start = monotonic_ms();
	char name[NAME_MAX + 1];
	if (strlen(list_name) + sizeof suffix > sizeof name)
		return;
	stpcpy(stpcpy(name, list_name), suffix);
	list_rights list;
	writers = take_writers_lock(list_dir, name, list_name, list);
	held = writers >= 0;
	if (!held)
		return;
	writers = mend_writers_lock(writers, list_dir, name, list);
	dir = openat(list_dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	const long long now = monotonic_ms();
	if (dir >= 0)
		wait_for_readers(dir, start + READERS_WAIT_MS > now + READERS_LEAST_MS ? start + READERS_WAIT_MS
		                                                                       : now + READERS_LEAST_MS);
}

// The directory goes first, so that the run that takes the writers' lock next rarely
// finds it still held.
list_lock::~list_lock()
{
	if (dir >= 0)
		close(dir);
	if (writers >= 0)
		close(writers);
}
