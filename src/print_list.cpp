// The print list file: find a name in it, append the name, or squeeze it out in place
// under the journal, and see each change on disk before the run ends.
#include "print_list.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "file_io.h"
#include "find_line.h"
#include "journal.h"
#include "squeeze.h"

namespace {

char in[BUFFER_SIZE]; // the list as read, by the scan and by a removal

// Reads the list up to the first line equal to the name, and no further than the size
// it had when locked. Reading beats mapping it: where page tables are costly, as in a
// virtual machine, a mapped page costs more than copying it.
void scan_list(int fd, line_scan &s, print_list &list)
{
	off_t base = 0; // file offset of in[0]
	off_t line_start = 0;
	ssize_t n = 0;
	while (base < list.size && (n = read(fd, in, chunk(list.size - base, sizeof in))) > 0) {
		const auto len = static_cast<size_t>(n);
		const char *nl = static_cast<const char *>(memchr(in, '\n', len));
		size_t first = nl ? static_cast<size_t>(nl - in) : len;
		extend_line(s, in, first);
		if (nl) {
			if (line_matches(s)) {
				list.first_match = line_start;
				return;
			}
			size_t last = static_cast<size_t>(static_cast<const char *>(memrchr(in, '\n', len)) - in);
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
	// A failed read, or a file cut short while it was read, is no list to rewrite.
	if (n < 0 || base != list.size)
		list.state = LIST_UNSAFE;
	else if (s.line_len > 0 && line_matches(s))
		list.first_match = line_start;
}

// A directory entry made or removed reaches the disk through the directory itself,
// opened here where the descriptor given is an O_PATH one, which syncs nothing.
void sync_dir(int dir)
{
	if (fdatasync(dir) == 0)
		return;
	int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd >= 0) {
		fdatasync(fd);
		close(fd);
	}
}

// The entry name in dir is the file fd has open, and its only name.
bool is_sole_name(int fd, int dir, const char *name)
{
	struct stat opened;
	struct stat named;
	return fstat(fd, &opened) == 0 && opened.st_nlink == 1 && fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
	       S_ISREG(named.st_mode) && same_file(opened, named);
}

// Where others may write the list's directory, a second name of it could be one they
// linked to a file of root's (with fs.protected_hardlinks off).
bool shared_place(const list_run &run)
{
	struct stat st;
	if (run.way.dir == run.dir)
		return shared_dir(run.dir_st);
	return fstat(run.way.dir, &st) != 0 || shared_dir(st);
}

// An add appends rather than rewrites: the lines already listed are never at risk, and
// a failed write or sync is undone on the descriptor that made it, by cutting the file
// back to its old length, which needs no room, or by removing the list the run made,
// where it made it.
void add_name(const list_run &run, const print_list &list, const char *name)
{
	const bool create = list.state == LIST_MISSING;
	const int fd = create ? create_file(run.way, 0666) : reopen_regular(run.list.fd, O_WRONLY);
	if (fd < 0)
		return;
	iovec line[] = {
		{const_cast<char *>("\n"), list.ends_in_newline ? 0U : 1U},
		{const_cast<char *>(name), strlen(name)},
		{const_cast<char *>("\n"), 1},
	};
	const bool written = write_all(fd, line, 3, list.size) && fdatasync(fd) == 0;
	if (!written && !create)
		ftruncate(fd, list.size);
	else if (!written && is_sole_name(fd, run.way.dir, run.way.name))
		unlinkat(run.way.dir, run.way.name, 0);
	close(fd); // synced, or undone: a close has nothing left to report
	if (written && create)
		sync_dir(run.way.dir);
}

// Rewrites the list from the first match on and truncates it, on disk; an emptied list
// is deleted only where that loses nothing: a symbolic link or another hard link keeps
// the empty file in place, with its owner and mode, for the next add.
bool rewrite(const list_run &run, int fd, const print_list &list, const char *name, saved_journal saved)
{
	bool wrote = false;
	const off_t size = squeeze_list(fd, name, list.first_match, list.size, in, sizeof in, wrote);
	if (size < 0 || !sync_unjournaled(saved, fd, wrote) || ftruncate(fd, size) != 0)
		return false;
	if (size == 0 && is_sole_name(fd, run.dir, run.name) && unlinkat(run.dir, run.name, 0) == 0) {
		sync_dir(run.dir);
		return true;
	}
	return fdatasync(fd) == 0;
}

// A removal saves what it overwrites in the journal first, and is done once the journal
// is cleared; a failure after that puts the list back as it was. Where there is no room
// for the journal, the removal goes on without it, as on a full disk it must, and a
// failed write leaves every line in the file, since the truncation comes last. It
// writes at most one byte past the list's end: past a file size limit those writes
// would fail partway, so such a list is not touched.
void remove_name(const list_run &run, const print_list &list, const char *name)
{
	if (!fits_size_limit(list.size + 1))
		return;
	const int fd = reopen_regular(run.list.fd, O_RDWR);
	if (fd < 0)
		return;
	const saved_journal saved = save_journal(run.lock, run.lock_st, fd, run.list.st, list.first_match, list.size);
	if (saved != JOURNAL_FAILED)
		end_journal(run.lock, saved, fd, rewrite(run, fd, list, name, saved));
	close(fd); // synced, or put back: a failed close loses nothing
}

} // namespace

int mode_of(char letter)
{
	return letter == 'i' ? LIST_ADD : letter == 'e' ? LIST_REMOVE : LIST_KEEP;
}

print_list load_list(const list_run &run, const char *name)
{
	print_list list = {LIST_UNSAFE, 0, -1, true};
	// A name holding a line feed would be written as two lines no removal could match.
	if (strchr(name, '\n'))
		return list;
	if (run.list.fd < 0) {
		list.state = LIST_MISSING;
		return list;
	}
	if (run.list.st.st_nlink > 1 && shared_place(run))
		return list;
	const int fd = reopen_regular(run.list.fd, O_RDONLY);
	if (fd < 0)
		return list;
	list.state = LIST_LOADED;
	list.size = run.list.st.st_size;
	line_scan s = {name, strlen(name), 0, true};
	scan_list(fd, s, list);
	if (close(fd) != 0)
		list.state = LIST_UNSAFE;
	return list;
}

void save_list(const list_run &run, const print_list &list, const char *name, int mode)
{
	const bool listed = list.first_match >= 0;
	if (list.state == LIST_UNSAFE || mode == LIST_KEEP || listed == (mode == LIST_ADD))
		return;
	const signal_block block;
	if (mode == LIST_ADD)
		add_name(run, list, name);
	else
		remove_name(run, list, name);
}
