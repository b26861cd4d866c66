// Whole reads and writes at an offset.
#include "file_io.h"

#include <sys/resource.h>
#include <unistd.h>

bool read_at(int fd, char *buf, size_t n, off_t at)
{
	for (ssize_t r; n > 0; buf += r, n -= static_cast<size_t>(r), at += r)
		if ((r = pread(fd, buf, n, at)) <= 0)
			return false;
	return true;
}

bool write_all(int fd, iovec *iov, int count, off_t off)
{
	while (count > 0) {
		ssize_t n = pwritev(fd, iov, count, off);
		if (n <= 0)
			return false;
		off += n;
		for (; count > 0 && static_cast<size_t>(n) >= iov->iov_len; iov++, count--)
			n -= static_cast<ssize_t>(iov->iov_len);
		if (count > 0) {
			iov->iov_base = static_cast<char *>(iov->iov_base) + n;
			iov->iov_len -= static_cast<size_t>(n);
		}
	}
	return true;
}

bool fits_size_limit(off_t size)
{
	rlimit limit;
	return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
	       static_cast<rlim_t>(size) <= limit.rlim_cur;
}
