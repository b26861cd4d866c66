/* The floor of a durable removal: a static program that reads the list through a
   64 KiB buffer, writes every byte after its middle line over that line (as a
   removal of the middle name moves what follows it), syncs with fdatasync, and
   truncates the list by that line. With -2 the truncation is synced too, to price
   a second sync. The middle line is the one holding the byte just before half the
   size: of an even number n of equal lines, line n/2 counted from 1, the one the
   bench removes.
   Usage: rewrite_sync [-2] LIST */
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

int main(int argc, char *argv[])
{
	int twice = argc > 1 && strcmp(argv[1], "-2") == 0;
	if (argc != 2 + twice)
		return 2;
	struct stat st;
	int fd = open(argv[1 + twice], O_RDWR);
	if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 2)
		return 1;
	const off_t half = st.st_size / 2 - 1; /* a byte of the middle line */
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
	/* Synced before the truncation, as a removal must: a truncation on disk ahead
	   of the moved lines would lose lines. */
	if (fdatasync(fd) != 0 || ftruncate(fd, dst) != 0)
		return 1;
	if (twice && fdatasync(fd) != 0)
		return 1;
	return close(fd) != 0;
}
