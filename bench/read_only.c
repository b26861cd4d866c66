/* The read floor: a static program that reads the list through a 64 KiB buffer. */
#include <fcntl.h>
#include <unistd.h>

static char buf[65536];

int main(int argc, char *argv[])
{
	int fd = argc > 1 ? open(argv[1], O_RDONLY) : -1;
	if (fd < 0)
		return 1;
	while (read(fd, buf, sizeof buf) > 0)
		;
	return close(fd) != 0;
}
