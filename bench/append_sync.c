/* The floor of a durable add: a static program that appends one line at the end of
   the list without reading it, syncs it with fdatasync, and closes it.
   Usage: append_sync LIST [LINE]   (LINE without its line feed; default printer-zzzz) */
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char line[4096];

int main(int argc, char *argv[])
{
	const char *name = argc > 2 ? argv[2] : "printer-zzzz";
	size_t len = strlen(name);
	if (argc < 2 || len + 1 > sizeof line)
		return 2;
	memcpy(line, name, len);
	line[len++] = '\n';
	struct stat st;
	int fd = open(argv[1], O_WRONLY);
	if (fd < 0 || fstat(fd, &st) != 0)
		return 1;
	/* One pwrite at the size, as an add of an absent name writes once; a short
	   write would be a failed add, not a cheaper one. */
	if (pwrite(fd, line, len, st.st_size) != (ssize_t)len)
		return 1;
	if (fdatasync(fd) != 0)
		return 1;
	return close(fd) != 0;
}
