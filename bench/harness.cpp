// Times whole commands, alternated round by round, with the list restored (untimed)
// before every run; prints medians and paired ratios as markdown table rows, and with
// -r FILE also writes the ratios as LABEL<tab>BASELINE<tab>RATIO lines, for bench/run
// to check its targets against.
// Usage: harness [-r FILE] ROUNDS MASTER LIST LABEL=COMMAND...
// A COMMAND is split on blanks, or run by /bin/sh -c when it starts with "sh ".
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

extern char **environ;

namespace {

struct command {
	std::string label;
	std::vector<std::string> argv;
	std::vector<double> seconds;
};

command parse(const char *arg)
{
	command c;
	const char *eq = strchr(arg, '=');
	if (!eq) {
		fprintf(stderr, "harness: %s: no LABEL=\n", arg);
		exit(2);
	}
	c.label.assign(arg, eq);
	std::string line = eq + 1;
	if (line.rfind("sh ", 0) == 0) {
		c.argv = {"/bin/sh", "-c", line.substr(3)};
		return c;
	}
	for (size_t at = 0; at < line.size();) {
		size_t end = line.find(' ', at);
		if (end == std::string::npos)
			end = line.size();
		if (end > at)
			c.argv.push_back(line.substr(at, end - at));
		at = end + 1;
	}
	return c;
}

void copy_file(const char *from, const char *to)
{
	static char buf[1 << 20];
	int in = open(from, O_RDONLY);
	int out = open(to, O_WRONLY | O_CREAT | O_TRUNC, 0644);
	ssize_t n;
	while ((n = read(in, buf, sizeof buf)) > 0)
		if (write(out, buf, n) != n)
			break;
	close(in);
	// Flushed, so the timed run meets a list clean in the page cache, as a list
	// that has sat there a while is, and not one still being written back.
	if (n != 0 || fsync(out) != 0 || close(out) != 0) {
		fprintf(stderr, "harness: cannot copy %s to %s\n", from, to);
		exit(2);
	}
}

double now()
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec + t.tv_nsec / 1e9;
}

double run(const command &c)
{
	std::vector<char *> argv;
	for (const std::string &a : c.argv)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	posix_spawn_file_actions_t io;
	posix_spawn_file_actions_init(&io);
	posix_spawn_file_actions_addopen(&io, 1, "/dev/null", O_WRONLY, 0);
	posix_spawn_file_actions_addopen(&io, 2, "/dev/null", O_WRONLY, 0);
	pid_t pid;
	int status;
	double start = now();
	if (posix_spawnp(&pid, argv[0], &io, nullptr, argv.data(), environ) != 0) {
		fprintf(stderr, "harness: cannot run %s\n", argv[0]);
		exit(2);
	}
	waitpid(pid, &status, 0);
	double took = now() - start;
	posix_spawn_file_actions_destroy(&io);
	return took;
}

double median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	size_t n = v.size();
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The median over rounds of a's time divided by b's in the same round.
double paired_ratio(const command &a, const command &b)
{
	std::vector<double> r;
	for (size_t i = 0; i < a.seconds.size(); i++)
		r.push_back(a.seconds[i] / b.seconds[i]);
	return median(r);
}

const command *find(const std::vector<command> &cs, const char *label)
{
	for (const command &c : cs)
		if (c.label == label)
			return &c;
	return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
	FILE *ratios = nullptr;
	if (argc > 2 && strcmp(argv[1], "-r") == 0) {
		if (!(ratios = fopen(argv[2], "w"))) {
			fprintf(stderr, "harness: cannot write %s\n", argv[2]);
			return 2;
		}
		argc -= 2, argv += 2;
	}
	if (argc < 5) {
		fprintf(stderr, "usage: harness [-r FILE] ROUNDS MASTER LIST LABEL=COMMAND...\n");
		return 2;
	}
	int rounds = atoi(argv[1]);
	const char *master = argv[2], *list = argv[3];
	std::vector<command> cs;
	for (int i = 4; i < argc; i++)
		cs.push_back(parse(argv[i]));
	for (command &c : cs) // one untimed run each, to warm the caches
		copy_file(master, list), run(c);
	// Each round runs the commands in a new order: a command that runs after another
	// pays for what that one left behind (a start of /bin/sh costs the next process
	// too), so no command may always follow the same one.
	std::vector<size_t> order(cs.size());
	for (size_t k = 0; k < order.size(); k++)
		order[k] = k;
	unsigned long long seed = 1;
	for (int r = 0; r < rounds; r++)
		for (size_t k = 0; k < cs.size(); k++) {
			if (k == 0)
				for (size_t i = order.size(); i > 1; i--) {
					seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
					std::swap(order[i - 1], order[(seed >> 33) % i]);
				}
			command &c = cs[order[k]];
			copy_file(master, list);
			// and whatever the command before it left to write back, which would
			// otherwise be written during this one
			sync();
			c.seconds.push_back(run(c));
		}
	// The columns of ratios, where the command of that label is in the round.
	const char *const baselines[] = {"static musl do-nothing", "static musl read-only",
	                                 "static musl map-touch", "grep -qxF absent",
	                                 "static musl append+sync", "static musl rewrite+sync",
	                                 "static musl journal+rewrite+sync",
	                                 "static musl journal+rewrite+sync, cleared"};
	for (const command &c : cs) {
		printf("| %s | %.0f |", c.label.c_str(), median(c.seconds) * 1e6);
		for (const char *label : baselines) {
			const command *base = find(cs, label);
			if (!base) {
				printf(" |");
				continue;
			}
			double ratio = paired_ratio(c, *base);
			printf(" %.2f |", ratio);
			if (ratios)
				fprintf(ratios, "%s\t%s\t%.4f\n", c.label.c_str(), label, ratio);
		}
		printf("\n");
	}
	if (ratios && fclose(ratios) != 0) {
		fprintf(stderr, "harness: cannot write the ratios\n");
		return 2;
	}
	fprintf(stderr, "harness: %d rounds of %zu commands\n", rounds, cs.size());
	return 0;
}
