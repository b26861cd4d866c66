// The print list file: find a name in it, append the name, or squeeze it out in place,
// and see each change on disk before the run ends.
#include "print_list.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "find_line.h"
#include "journal.h"
#include "squeeze.h"

namespace {

struct print_list list = {LIST_UNSAFE, NO_FILE, 0, -1, true};
char in[BUFFER_SIZE]; // the list as read, by the scan and by a removal

size_t last_newline(size_t n)
{
	return static_cast<size_t>(static_cast<const char *>(memrchr(in, '\n', n)) - in);
}

// Reads the list up to the first line equal to the name. Reading beats mapping it:
// where page tables are costly, as in a virtual machine, a mapped page costs more
// than copying it.
void scan_list(int fd, line_scan &s)
{
	off_t base = 0; // file offset of in[0]
	off_t line_start = 0;
	ssize_t n;
	while ((n = read(fd, in, sizeof in)) > 0) {
		const auto len = static_cast<size_t>(n);
		const char *nl = static_cast<const char *>(memchr(in, '\n', len));
		size_t first = nl ? static_cast<size_t>(nl - in) : len;
		extend_line(s, in, first);
		if (nl) {
			if (line_matches(s)) {
				list.first_match = line_start;
				return;
			}
			size_t last = last_newline(len);
			size_t at = find_line(in, first + 1, last + 1, s.name, s.len);
			if (at <= last) {
				list.first_match = base + static_cast<off_t>(at);
				return;
			}
			new_line(s);
			extend_line(s, in + last + 1, len - last - 1);
			line_start = base + static_cast<off_t>(last + 1);
		}
		base += n;
		list.ends_in_newline = in[len - 1] == '\n';
	}
	// A failed read, or a file that changed while it was read, is no list to rewrite.
	if (n < 0 || base != list.size)
		list.state = LIST_UNSAFE;
	else if (s.line_len > 0 && line_matches(s))
		list.first_match = line_start;
}

// The one place a change reaches the disk: the file's data with the size that covers
// it, or a directory's entries. Where syncing costs nothing, as on tmpfs, it is one
// system call.
bool reach_disk(int fd)
{
	return fdatasync(fd) == 0;
}

// A directory entry made or removed reaches the disk through the directory itself.
void reach_disk_at(int dir)
{
	int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd >= 0) {
		reach_disk(fd);
		close(fd);
	}
}

// Opens the list that load_list found, only if it is still as it was loaded.
int open_loaded(int flags)
{
	int fd = reopen_regular(list.file.fd, flags);
	struct stat st;
	if (fd < 0 || (fstat(fd, &st) == 0 && st.st_size == list.size))
		return fd;
	close(fd);
	return -1;
}

// The entry name in dir is the file fd has open, and its only name.
bool is_sole_name(int fd, int dir, const char *name)
{
	struct stat opened;
	struct stat named;
	return fstat(fd, &opened) == 0 && opened.st_nlink == 1 && fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
	       S_ISREG(named.st_mode) && same_file(opened, named);
}

// Cuts the list back to its loaded length, on the same file opened again.
bool cut_back()
{
	int fd = reopen_regular(list.file.fd, O_WRONLY);
	if (fd < 0)
		return false;
	bool cut = ftruncate(fd, list.size) == 0;
	return close(fd) == 0 && cut;
}

// An add appends rather than rewrites: the lines already listed are never at risk,
// and a failed write or sync is undone on the descriptor that made it, by cutting the
// file back to its old length, or by removing the list the run made, in the directory
// it made it in.
void add_name(const char *name)
{
	const bool create = list.state == LIST_MISSING;
	int fd = create ? create_file(list.file, 0666) : open_loaded(O_WRONLY);
	if (fd < 0)
		return;
	iovec line[] = {
		{const_cast<char *>("\n"), list.ends_in_newline ? 0U : 1U},
		{const_cast<char *>(name), strlen(name)},
		{const_cast<char *>("\n"), 1},
	};
	const bool written = write_all(fd, line, 3, list.size) && reach_disk(fd);
	const bool undone = !written && ftruncate(fd, list.size) == 0;
	const bool made_here = create && is_sole_name(fd, list.file.dir, list.file.name);
	if (close(fd) == 0 && written) {
		if (create)
			reach_disk_at(list.file.dir);
		return;
	}
	if (made_here)
		unlinkat(list.file.dir, list.file.name, 0);
	else if (!create && !undone) // the close failed after the write
		cut_back();
}

// A removal writes below the list's old end, and at most one byte past it; past a file
// size limit those writes would fail partway, so such a list is not touched.
bool fits_size_limit(off_t size)
{
	rlimit limit;
	return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
	       static_cast<rlim_t>(size) < limit.rlim_cur;
}

// Rewrites the list from the first match on and truncates it, on disk; an emptied list
// is deleted only where that loses nothing: a symbolic link or another hard link keeps
// the empty file in place, with its owner and mode, for the next add. The journal puts
// the old bytes back after any crash, so the moved lines and the new size reach the disk
// in one sync. Without a journal that outlives a power cut, the moved lines reach the
// disk before the new size does, so that a cut never finds the list cut short over old
// bytes.
bool rewrite(int fd, const char *name, int dir, saved_journal saved)
{
	bool wrote = false;
	const off_t size = squeeze_list(fd, name, list.first_match, list.size, in, sizeof in, wrote);
	if (size < 0 || (saved != JOURNAL_SAVED && wrote && !reach_disk(fd)) || ftruncate(fd, size) != 0)
		return false;
	if (size == 0 && is_sole_name(fd, dir, LIST_NAME) && unlinkat(dir, LIST_NAME, 0) == 0) {
		reach_disk_at(dir);
		return true;
	}
	return reach_disk(fd);
}

// A removal saves what it overwrites in the journal first, and is done once the journal
// is cleared; a failure after that puts the list back as it was. Where there is no room
// for the journal, the removal goes on without it, as on a full disk it must, and a
// failed write leaves every line in the file, since the truncation comes last.
void remove_name(const char *name, int dir, int journal)
{
	if (!fits_size_limit(list.size))
		return;
	int fd = open_loaded(O_RDWR);
	if (fd < 0)
		return;
	const saved_journal saved = save_journal(journal, fd, list.first_match, list.size, in, sizeof in);
	if (saved != JOURNAL_FAILED) {
		const bool done = rewrite(fd, name, dir, saved);
		if (saved != JOURNAL_NO_ROOM && !(done && clear_journal(journal)))
			roll_back(journal, fd, in, sizeof in);
	}
	close(fd); // synced, or put back: a failed close loses nothing
}

// Blocks every signal that can wait while it lives: one that arrives while the list is
// being changed takes effect once the change is whole or undone.
struct signal_block {
	sigset_t old;
	signal_block()
	{
		sigset_t all;
		sigfillset(&all);
		sigprocmask(SIG_BLOCK, &all, &old);
	}
	~signal_block() { sigprocmask(SIG_SETMASK, &old, nullptr); }
	signal_block(const signal_block &) = delete;
	signal_block &operator=(const signal_block &) = delete;
};

} // namespace

void clear_list()
{
	forget_file(list.file);
	list = {LIST_UNSAFE, NO_FILE, 0, -1, true};
}

void load_list(const char *name, int dir)
{
	// A name holding a line feed would be written as two lines no removal could match.
	if (strchr(name, '\n'))
		return;
	const find_result found = find_file(dir, LIST_NAME, list.file);
	if (found == FILE_MISSING)
		list.state = LIST_MISSING;
	if (found != FILE_FOUND)
		return;
	// Where others may write the directory, a second name could be one they linked to a
	// file of root's (with fs.protected_hardlinks off): such a list is not touched.
	if (list.file.st.st_nlink > 1 && shared_dir(list.file.dir))
		return;
	int fd = reopen_regular(list.file.fd, O_RDONLY);
	if (fd < 0)
		return;
	list.state = LIST_LOADED;
	list.size = list.file.st.st_size;
	line_scan s = {name, strlen(name), 0, true};
	scan_list(fd, s);
	if (close(fd) != 0)
		list.state = LIST_UNSAFE;
}

bool recover_list(int journal, int dir)
{
	const int held = journal_held(journal);
	if (held <= 0)
		return held == 0;
	found_file f;
	const find_result found = find_file(dir, LIST_NAME, f);
	const int fd = found == FILE_FOUND ? reopen_regular(f.fd, O_RDWR) : -1;
	forget_file(f);
	if (found == FILE_REFUSED || (found == FILE_FOUND && fd < 0))
		return false; // the list cannot be reached to be put back: the journal waits
	const signal_block block;
	const bool whole = roll_back(journal, fd, in, sizeof in);
	if (fd >= 0)
		close(fd);
	return whole;
}

void save_list(const char *name, int mode, int dir, int journal)
{
	bool listed = list.first_match >= 0;
	bool changes = (mode == LIST_ADD && !listed) || (mode == LIST_REMOVE && listed);
	if (list.state != LIST_UNSAFE && changes) {
		const signal_block block;
		if (mode == LIST_ADD)
			add_name(name);
		else
			remove_name(name, dir, journal);
	}
	clear_list();
}
