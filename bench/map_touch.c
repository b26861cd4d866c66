/* The map floor: a static program that maps the list read-only and reads one byte
   of every 64, so that every page of it is faulted in, as a scan of the mapping is. */
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
	struct stat st;
	int fd = argc > 1 ? open(argv[1], O_RDONLY) : -1;
	if (fd < 0 || fstat(fd, &st) != 0)
		return 1;
	if (st.st_size == 0) /* nothing to map */
		return close(fd) != 0;
	const unsigned char *p = mmap(0, st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
	if (p == MAP_FAILED)
		return 1;
	/* Summed and used, so the compiler keeps every read. */
	unsigned sum = 0;
	for (off_t i = 0; i < st.st_size; i += 64)
		sum += p[i];
	return (close(fd) != 0) + (sum == 1);
}
