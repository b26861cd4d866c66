// The directory lock: runs hold it exclusively from before they read the list until
// they have written it back; readers may hold it shared.
#include "list_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

namespace {

volatile sig_atomic_t timed_out;

void on_alarm(int /*unused*/)
{
	timed_out = 1;
}

// The directory that holds path, as a string in dir; false when it does not fit.
bool copy_dir(const char *path, char (&dir)[PATH_MAX])
{
	const char *slash = strrchr(path, '/');
	size_t n = 1; // of "/" or "."
	if (!slash)
		path = ".";
	else if (slash != path)
		n = static_cast<size_t>(slash - path);
	if (n >= sizeof dir)
		return false;
	memcpy(dir, path, n);
	dir[n] = '\0';
	return true;
}

// Waits at most LOCK_WAIT_SECONDS for the lock: anyone who can read the directory
// can hold it, and must not be able to hold every run up.
bool wait_for_lock(int fd)
{
	struct sigaction act = {};
	struct sigaction old_act = {};
	act.sa_handler = on_alarm; // without SA_RESTART, so that the alarm ends the wait
	sigaction(SIGALRM, &act, &old_act);
	sigset_t alarm_only;
	sigset_t old_mask;
	sigemptyset(&alarm_only);
	sigaddset(&alarm_only, SIGALRM);
	sigprocmask(SIG_UNBLOCK, &alarm_only, &old_mask);
	timed_out = 0;
	alarm(LOCK_WAIT_SECONDS);
	int locked;
	while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR && !timed_out)
		;
	alarm(0);
	sigprocmask(SIG_SETMASK, &old_mask, nullptr);
	sigaction(SIGALRM, &old_act, nullptr);
	return locked == 0;
}

} // namespace

// The directory is locked, not the list, because runs create and delete the list.
list_lock::list_lock(const char *path) : fd(-1), state(LOCK_WITHOUT)
{
	char dir[PATH_MAX];
	if (!copy_dir(path, dir))
		return;
	fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	// One who cannot take part in the lock would write unlocked against those who do.
	if (fd < 0 && (errno == EACCES || errno == EPERM))
		state = LOCK_DENIED;
	else if (fd >= 0 && wait_for_lock(fd))
		state = LOCK_HELD;
}

list_lock::~list_lock()
{
	if (fd >= 0)
		close(fd);
}
