/* The floor of a durable removal: a static program that reads the list through a
   64 KiB buffer, writes every byte after its middle line over that line (as a
   removal of the middle name moves what follows it), syncs with fdatasync, and
   truncates the list by that line. With -2 the truncation is synced too, to price
   a second sync. With -j JOURNAL it first saves the bytes from the middle line to
   the end into JOURNAL and syncs that, then rewrites, truncates and syncs once, as a
   journaled removal does; -c then also empties JOURNAL and syncs that. The middle
   line is the one holding the byte just before half the size: of an even number n
   of equal lines, line n/2 counted from 1, the one the bench removes.
   Usage: rewrite_sync [-2] [-j JOURNAL [-c]] LIST */
#define _GNU_SOURCE /* memrchr */
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char buf[65536];

/* Writes all N bytes at AT, or fails: a short write would measure less work. */
static int write_at(int fd, const char *p, size_t n, off_t at)
{
	while (n > 0) {
		ssize_t w = pwrite(fd, p, n, at);
		if (w <= 0)
			return -1;
		p += w, n -= w, at += w;
	}
	return 0;
}

/* Copies the list's bytes from the start of the line holding HALF to the end into
   the file JOURNAL and syncs it. */
static int save_tail(int fd, off_t half, off_t size, const char *journal)
{
	off_t start = 0;
	for (off_t at = 0; at < half;) { /* the last line feed before HALF */
		ssize_t n = pread(fd, buf, half - at < (off_t)sizeof buf ? (size_t)(half - at) : sizeof buf, at);
		if (n <= 0)
			return -1;
		const char *lf = memrchr(buf, '\n', n);
		if (lf)
			start = at + (lf - buf) + 1;
		at += n;
	}
	int j = open(journal, O_WRONLY | O_CREAT | O_TRUNC, 0600);
	if (j < 0)
		return -1;
	for (off_t at = start; at < size;) {
		ssize_t n = pread(fd, buf, sizeof buf, at);
		if (n <= 0 || write_at(j, buf, n, 64 + (at - start)) != 0)
			return -1;
		at += n;
	}
	return fdatasync(j) == 0 ? j : -1;
}

int main(int argc, char *argv[])
{
	int twice = 0, clear = 0, j = -1;
	const char *journal = 0;
	int a = 1;
	for (; a < argc - 1; a++) {
		if (strcmp(argv[a], "-2") == 0)
			twice = 1;
		else if (strcmp(argv[a], "-c") == 0)
			clear = 1;
		else if (strcmp(argv[a], "-j") == 0 && a + 2 < argc)
			journal = argv[++a];
		else
			return 2;
	}
	if (a != argc - 1)
		return 2;
	struct stat st;
	int fd = open(argv[a], O_RDWR);
	if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 2)
		return 1;
	const off_t half = st.st_size / 2 - 1; /* a byte of the middle line */
	if (journal && (j = save_tail(fd, half, st.st_size, journal)) < 0)
		return 1;
	off_t at = 0;      /* the offset of buf[0] */
	off_t start = 0;   /* where the middle line starts, as far as read */
	off_t dst = -1;    /* where the next moved byte goes, once the line's end is known */
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0) {
		size_t from = 0;
		if (dst < 0) {
			/* The line starts after the last line feed before HALF ... */
			size_t before = half < at ? 0 : half - at < n ? (size_t)(half - at) : (size_t)n;
			const char *lf = memrchr(buf, '\n', before);
			if (lf)
				start = at + (lf - buf) + 1;
			/* ... and ends at the first one from HALF on. */
			lf = half - at < n ? memchr(buf + before, '\n', n - before) : 0;
			if (!lf) {
				at += n;
				continue;
			}
			from = lf - buf + 1;
			dst = start;
		}
		if (write_at(fd, buf + from, n - from, dst) != 0)
			return 1;
		dst += n - from;
		at += n;
	}
	if (n < 0 || dst < 0) /* a failed read, or no line feed after the middle */
		return 1;
	/* Synced before the truncation, as a removal without a journal must: a
	   truncation on disk ahead of the moved lines would lose lines. */
	if ((j < 0 && fdatasync(fd) != 0) || ftruncate(fd, dst) != 0)
		return 1;
	if ((twice || j >= 0) && fdatasync(fd) != 0)
		return 1;
	if (clear && (ftruncate(j, 0) != 0 || fdatasync(j) != 0))
		return 1;
	return close(fd) != 0 || (j >= 0 && close(j) != 0);
}
