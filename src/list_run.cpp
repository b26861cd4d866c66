// A run's hold on the list, taken in one order: the directory, the list's way, the
// writers' lock, the list. A way that is refused stops the run before it has made or
// changed anything; a journal is applied only from a lock file that no one but who may
// change the list could have written.
#include "list_run.h"

#include <fcntl.h>
#include <string.h>
#include <sys/auxv.h>
#include <unistd.h>

#include "journal.h"
#include "list_lock.h"

namespace {

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
	run = {monotonic_ms(), static_cast<uid_t>(getauxval(AT_EUID)), name, -1, {}, NO_PLACE, NO_PLACE, -1, {}, -1, NO_FILE};
	char lock_name[NAME_MAX + 1];
	if (strlen(name) + sizeof suffix > sizeof lock_name)
		return false;
	stpcpy(stpcpy(lock_name, name), suffix);
	run.dir = open_parent_dir(path, run.dir_st);
	if (run.dir < 0 || find_way(run.dir, run.dir_st.st_uid, name, run.way, run.list.st) == FILE_REFUSED ||
	    !take_writers_lock(run, lock_name))
		return false;
	// The directory too is held before the list is read: a run that took a lock file
	// made anew, beside one removed while its run still held it, waits for that run here.
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
	forget_file(run.list);
	if (run.lock >= 0)
		close(run.lock);
	forget_place(run.lock_place);
	forget_place(run.way);
	if (run.dir >= 0)
		close(run.dir);
	run.readers = run.lock = run.dir = -1;
}
