// The locks: readers hold the list's directory shared; a run holds it exclusively,
// waiting at most 5 s for it, and holds the writers' exclusion, waiting as long as
// it takes.
#include "list_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
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

// The writers' exclusion is a file of its own, created with no permission for others,
// so that only those who may write it, and so change the list, can hold runs up.
int open_writers_lock(int dir, const char *list_name)
{
	static const char suffix[] = ".lock";
	char name[NAME_MAX + 1];
	size_t len = strlen(list_name);
	if (len + sizeof suffix > sizeof name)
		return -1;
	stpcpy(stpcpy(name, list_name), suffix);
	int fd = open_regular(dir, name, O_WRONLY);
	if (fd < 0 && errno == ENOENT) {
		fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
		if (fd < 0 && errno == EEXIST) // another run made it first
			fd = open_regular(dir, name, O_WRONLY);
	}
	return fd;
}

bool wait_for_writers(int fd)
{
	int locked;
	while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR)
		;
	return locked == 0;
}

} // namespace

// The readers' lock comes first and is never waited for while holding the writers'
// exclusion: a slow reader then costs each run its own 5 s at most, not 5 s for every
// run queued behind it. A run that holds the exclusion waits for nothing else.
list_lock::list_lock(int list_dir, const char *list_name) : dir(-1), writers(-1), held(false)
{
	dir = openat(list_dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (dir >= 0 && !wait_for_readers(dir)) {
		close(dir);
		dir = -1;
	}
	writers = open_writers_lock(list_dir, list_name);
	held = writers >= 0 && wait_for_writers(writers);
}

list_lock::~list_lock()
{
	if (writers >= 0)
		close(writers);
	if (dir >= 0)
		close(dir);
}
