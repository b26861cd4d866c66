// Lines that straddle two buffer fills, checked against the plain model of the rules.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "file_io.h"
#include "list_model.h"
#include "print_list.h"
#include "squeeze.h"

namespace {

class StraddleTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		char tmpl[] = "/tmp/printlist-test.XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
		path = dir + "/list";
	}
	void TearDown() override
	{
		unlink(path.c_str());
		unlink((path + ".lock").c_str());
		rmdir(dir.c_str());
	}

	// Runs one change on the list and checks the result against the model.
	void check(const std::string &before, const std::string &name, int mode)
	{
		write_list_file(path, before);
		list_run run;
		if (start_run(run, path.c_str()))
			save_list(run, load_list(run, name.c_str()), name.c_str(), mode);
		end_run(run);
		list_bytes want = model_change(before, name, mode);
		list_bytes got = read_list_file(path);
		ASSERT_EQ(got.has_value(), want.has_value()) << describe(before, name, mode);
		if (want) {
			ASSERT_TRUE(*got == *want) << describe(before, name, mode);
		}
	}

	static std::string describe(const std::string &before, const std::string &name, int mode)
	{
		return (mode == LIST_ADD ? "add " : "remove ") + std::to_string(name.size()) +
		       "-byte name to a " + std::to_string(before.size()) + "-byte list";
	}

	std::string dir, path;
};

// Every line shape that can fool a scan, starting at each offset around a fill boundary:
// the name itself, longer lines that begin with it, a line that is its prefix,
// and an unterminated last line.
TEST_F(StraddleTest, LinesAroundAFillBoundary)
{
	const std::string name = "printer-7";
	const std::string tail = name + "\n" + name + "x\n" + "printer-\n" + name + name + "\n" + name;
	for (const std::string &lead : {std::string(), name + "\n", std::string("a\n")})
		for (size_t pad = BUFFER_SIZE - tail.size() - 2; pad <= BUFFER_SIZE + 1; pad++) {
			std::string before = lead + std::string(pad, 'p') + "\n" + tail;
			check(before, name, LIST_ADD);
			check(before, name, LIST_REMOVE);
			check(before, "printer-", LIST_REMOVE);
			check(before, name + name, LIST_REMOVE);
		}
}

// A name longer than the buffer: the line it matches spans several fills.
TEST_F(StraddleTest, NameLongerThanTheBuffer)
{
	const std::string name(2 * BUFFER_SIZE + 3, 'n');
	const std::string longer = name + "n";
	const std::string shorter(name.size() - 1, 'n');
	for (const std::string &before :
	     {name + "\n", "a\n" + name, shorter + "\n" + longer + "\nb\n", longer + "\n" + name + "\n" + shorter,
	      "a\n" + name + "\n" + name + "\n" + shorter + "\n" + name})
		for (int mode : {LIST_ADD, LIST_REMOVE})
			check(before, name, mode);
}

// The search's vector rounds: a listed name, and a line that only ends with the name,
// at every offset of a 64-byte round, with enough lines after it that a round finds it.
TEST_F(StraddleTest, NameAtEachOffsetOfARound)
{
	std::string after;
	for (int i = 0; i < 31; i++)
		after += "z\n";
	for (size_t pad = 0; pad < 64; pad++) {
		const std::string lead = "x\n" + std::string(pad, 'y') + "\n";
		for (int mode : {LIST_ADD, LIST_REMOVE}) {
			check(lead + "lp1\n" + after, "lp1", mode);
			check(lead + "a1\nccb1\n" + after, "b1", mode);
		}
	}
}

} // namespace

// The removal counts a list's bytes in 64 bits on every word size: a list that holds 4
// GiB less than the size it was loaded with changed under the run, and the removal
// stops, where a 32-bit count would have taken it for the bytes it holds.
TEST(Squeeze, SizesPastFourGiB)
{
	char path[] = "/tmp/printlist-squeeze.XXXXXX";
	const int fd = mkstemp(path);
	ASSERT_GE(fd, 0);
	unlink(path);
	const std::string before = "y\nabcdefgh\n";
	ASSERT_EQ(write(fd, before.data(), before.size()), static_cast<ssize_t>(before.size()));
	char buf[64];
	bool wrote = false;
	const off_t size = (static_cast<off_t>(1) << 32) + static_cast<off_t>(before.size());
	EXPECT_EQ(squeeze_list(fd, "y", 0, size, buf, sizeof buf, wrote), -1);
	std::string after(before.size(), '\0');
	EXPECT_EQ(pread(fd, after.data(), after.size(), 0), static_cast<ssize_t>(after.size()));
	EXPECT_EQ(after, before);
	close(fd);
}
