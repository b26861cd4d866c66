// The in-place removal writer. The file holds, in this order, the lines kept so far up
// to out, copies of the removed line up to done, and the old bytes from done on. Each
// write ends where both what it writes and what lies after it have a line boundary:
// with as many copies of the removed line as lines removed so far, that is where the
// old bytes were read up to, so such a place always exists; the fewest copies that
// reach one are taken.
#include "squeeze.h"

#include <string.h>
#include <unistd.h>

#include "file_io.h"
#include "find_line.h"

namespace {

// A write takes at most the kernel's IOV_MAX pieces, at most MAX_RUNS of them runs of
// kept lines straight from the buffer they were read into.
constexpr int MAX_PIECES = 1024;
constexpr int MAX_RUNS = 256;

// The pieces of one write, 16 KiB: static, so that a run fits a small stack.
iovec pieces[MAX_PIECES];

// Copies of the removed line, for the pieces that follow the kept lines. As large as
// the read buffer, so that the fuzz build's small one makes fills of many pieces.
char copies[BUFFER_SIZE];

char newline[] = "\n";

struct squeeze {
	int fd;
	const char *name;
	size_t len;        // of name
	off_t line;        // a copy of the removed line: len + 1
	char *buf;         // the old bytes from chunk on
	size_t buf_size;
	off_t size;        // of the list before
	off_t out;         // where the next kept line goes
	off_t read;        // the first old byte not yet taken
	off_t done;        // the end of the furthest write: copies end at done - k * line
	bool done_at_line; // and the old bytes have a line boundary there
	off_t removed;     // lines taken out so far
	off_t chunk;       // where the old bytes in buf start
	size_t chunk_len;
	bool chunk_at_line; // a line starts at chunk
	bool wrote;
	size_t copies_held; // whole copies of the name in copies
};

// Reads n bytes at off into buf; fewer mean the list changed under the run.
bool fill(squeeze &q, off_t off, size_t n, bool at_line)
{
	size_t got = 0;
	for (ssize_t r = 1; got < n && r > 0; got += static_cast<size_t>(r))
		if ((r = pread(q.fd, q.buf + got, n - got, off + static_cast<off_t>(got))) < 0)
			return false;
	q.chunk = off;
	q.chunk_len = got;
	q.chunk_at_line = at_line;
	return got == n;
}

// Whether a write that ends at end leaves whole lines after it: whole copies of the
// removed line up to done, or old bytes known, from buf, to start a line there.
bool ends_line(const squeeze &q, off_t end)
{
	if (end < q.done)
		return q.done_at_line && (q.done - end) % q.line == 0;
	if (end == q.done)
		return q.done_at_line;
	if (end >= q.size || (end == q.chunk && q.chunk_at_line))
		return true;
	return end > q.chunk && end - q.chunk <= static_cast<off_t>(q.chunk_len) && q.buf[end - q.chunk - 1] == '\n';
}

// The fewest copies of the removed line, up to most, that make a write ending after
// them at start + copies * line end at a line boundary. Below done only the grid of
// the copies written before can meet one, and old bytes no longer in buf are not known.
off_t fewest_copies(const squeeze &q, off_t start, off_t most)
{
	off_t k = 0;
	if (start < q.done && !ends_line(q, start))
		k = (q.done - start + q.line - 1) / q.line;
	if (start + k * q.line > q.done && start + k * q.line < q.chunk)
		k = (q.chunk - start + q.line - 1) / q.line;
	for (; k < most; k++)
		if (ends_line(q, start + k * q.line))
			return k;
	return most;
}

// Makes copies hold up to want copies of the removed line, as many as fit, and
// returns how many it holds.
size_t hold_copies(squeeze &q, off_t want)
{
	const size_t line = q.len + 1;
	const size_t fit = sizeof copies / line;
	const size_t n = chunk(want, fit);
	if (q.copies_held == 0 && n > 0) {
		memcpy(copies, q.name, q.len);
		copies[q.len] = '\n';
		q.copies_held = 1;
	}
	for (size_t take; q.copies_held < n; q.copies_held += take) { // doubling what is there
		take = q.copies_held < n - q.copies_held ? q.copies_held : n - q.copies_held;
		memcpy(copies + q.copies_held * line, copies, take * line);
	}
	return q.copies_held;
}

// Fills at most room pieces with up to want copies of the removed line; returns how
// many copies they hold, and in used how many pieces.
off_t put_copies(squeeze &q, iovec *pieces, int room, off_t want, int &used)
{
	used = 0;
	off_t taken = 0;
	if (static_cast<size_t>(q.line) > sizeof copies) { // the name itself, and a line feed
		for (; taken < want && used + 2 <= room; taken++) {
			pieces[used++] = {const_cast<char *>(q.name), q.len};
			pieces[used++] = {newline, 1};
		}
		return taken;
	}
	const auto held = static_cast<off_t>(hold_copies(q, want));
	for (; taken < want && used < room; used++) {
		const off_t take = held < want - taken ? held : want - taken;
		pieces[used] = {copies, static_cast<size_t>(take * q.line)};
		taken += take;
	}
	return taken;
}

// Writes the pieces at `at`, ending at end; what lies past end is looked at before the
// write covers it.
bool put(squeeze &q, iovec *pieces, int count, off_t at, off_t end)
{
	if (end >= q.done) {
		q.done_at_line = ends_line(q, end);
		q.done = end;
	}
	q.wrote = true;
	return write_all(q.fd, pieces, count, at);
}

// Writes the count pieces of kept lines, n bytes, at out, and after them the fewest
// copies of the removed line that end the write at a line boundary. Copies that take
// more pieces than one write can hold, past tens of MiB, follow in more writes.
bool put_lines(squeeze &q, iovec *pieces, int count, size_t n)
{
	if (n == 0)
		return true;
	off_t at = q.out;
	q.out += static_cast<off_t>(n);
	off_t left = fewest_copies(q, q.out, q.removed);
	const off_t end = q.out + left * q.line;
	bool ok = true;
	while (ok) {
		int used = 0;
		left -= put_copies(q, pieces + count, MAX_PIECES - count, left, used);
		const off_t to = end - left * q.line;
		ok = put(q, pieces, count + used, at, to);
		if (left == 0)
			break;
		at = to;
		count = 0;
	}
	return ok;
}

// A line longer than the buffer goes if it is the name, else is written on in parts,
// read again: the one case where a removal cut short can leave part of a line.
bool squeeze_long_line(squeeze &q)
{
	line_scan s = {q.name, q.len, 0, true};
	off_t end = q.read; // of the line, before its line feed
	const char *nl = nullptr;
	for (bool at_line = true; !nl && end < q.size; at_line = false) {
		if (!fill(q, end, chunk(q.size - end, q.buf_size), at_line))
			return false;
		nl = static_cast<const char *>(memchr(q.buf, '\n', q.chunk_len));
		size_t k = nl ? static_cast<size_t>(nl - q.buf) : q.chunk_len;
		extend_line(s, q.buf, k);
		end += static_cast<off_t>(k);
	}
	off_t from = q.read;
	q.read = nl ? end + 1 : end;
	if (line_matches(s)) {
		q.removed++;
		return true;
	}
	// Each part's write ends at out and at done, where nothing is asked of the old bytes
	// any more: where a line starts in them does not matter.
	while (from < end) { // with the line feed, gained if the line had none
		size_t part = chunk(end - from, q.buf_size);
		if (!fill(q, from, part, false))
			return false;
		from += static_cast<off_t>(part);
		iovec parts[] = {{q.buf, part}, {newline, from == end ? 1U : 0U}};
		off_t to = q.out + static_cast<off_t>(part + parts[1].iov_len);
		if (!put(q, parts, 2, q.out, to))
			return false;
		q.out = to;
	}
	return true;
}

// Takes the whole lines in the next buffer's worth of the list, and writes those kept.
bool squeeze_lines(squeeze &q)
{
	if (!fill(q, q.read, chunk(q.size - q.read, q.buf_size), true))
		return false;
	const size_t n_in = q.chunk_len;
	const bool at_end = q.read + static_cast<off_t>(n_in) == q.size;
	const char *nl = static_cast<const char *>(memrchr(q.buf, '\n', n_in));
	if (!nl && !at_end)
		return squeeze_long_line(q);
	size_t whole = nl ? static_cast<size_t>(nl - q.buf) + 1 : 0;
	int count = 0;
	size_t n = 0;
	for (size_t from = 0; from < whole;) {
		size_t at = find_line(q.buf, from, whole, q.name, q.len);
		if (at > from) {
			pieces[count++] = {q.buf + from, at - from};
			n += at - from;
		}
		if (at < whole)
			q.removed++;
		from = at + q.len + 1;
		if (count == MAX_RUNS) {
			if (!put_lines(q, pieces, count, n))
				return false;
			count = 0;
			n = 0;
		}
	}
	if (at_end && whole < n_in) { // the open last line: it goes, or gains a line feed
		if (n_in - whole == q.len && memcmp(q.buf + whole, q.name, q.len) == 0) {
			q.removed++;
		} else {
			pieces[count++] = {q.buf + whole, n_in - whole};
			pieces[count++] = {newline, 1};
			n += n_in - whole + 1;
		}
		whole = n_in;
	}
	q.read += static_cast<off_t>(whole);
	return put_lines(q, pieces, count, n);
}

} // namespace

// (buf is read into, through the squeeze that holds it)
off_t squeeze_list(int fd, const char *name, off_t first, off_t size, char *buf, // NOLINT(readability-non-const-parameter)
                   size_t buf_size, bool &wrote)
{
	const size_t len = strlen(name);
	squeeze q = {.fd = fd, .name = name, .len = len, .line = static_cast<off_t>(len + 1), .buf = buf,
	             .buf_size = buf_size, .size = size, .out = first, .read = first, .done = first,
	             .done_at_line = true, .removed = 0, .chunk = first, .chunk_len = 0, .chunk_at_line = true,
	             .wrote = false, .copies_held = 0};
	bool ok = true;
	while (ok && q.read < size)
		ok = squeeze_lines(q);
	wrote = q.wrote;
	return ok ? q.out : -1;
}
