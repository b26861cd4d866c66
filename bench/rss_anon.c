/* Runs a command with its output to /dev/null and prints its RssAnon, in KiB, as it
   stood just before it exited: ptrace stops it at the exit event, before the kernel
   takes its memory away. Exits as the command did.
   Usage: rss_anon COMMAND [ARG...] */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

static long rss_anon(pid_t pid)
{
	char path[64], line[256];
	long kib = -1;
	snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
	FILE *f = fopen(path, "r");
	if (!f)
		return -1;
	while (fgets(line, sizeof line, f))
		if (sscanf(line, "RssAnon: %ld", &kib) == 1)
			break;
	fclose(f);
	return kib;
}

int main(int argc, char *argv[])
{
	if (argc < 2) {
		fprintf(stderr, "usage: rss_anon COMMAND [ARG...]\n");
		return 2;
	}
	pid_t pid = fork();
	if (pid == 0) {
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		dup2(null, 2);
		ptrace(PTRACE_TRACEME, 0, 0, 0);
		execvp(argv[1], argv + 1);
		_exit(127);
	}
	int status;
	long kib = -1;
	/* The first stop is the SIGTRAP of the exec. */
	if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) {
		fprintf(stderr, "rss_anon: cannot run %s\n", argv[1]);
		return 2;
	}
	ptrace(PTRACE_SETOPTIONS, pid, 0, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
	ptrace(PTRACE_CONT, pid, 0, 0);
	while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
		int sig = 0;
		if (status >> 8 == (SIGTRAP | PTRACE_EVENT_EXIT << 8))
			kib = rss_anon(pid);
		else
			sig = WSTOPSIG(status); /* the command's own signal: pass it on */
		ptrace(PTRACE_CONT, pid, 0, sig);
	}
	if (kib < 0) {
		fprintf(stderr, "rss_anon: no RssAnon of %s\n", argv[1]);
		return 2;
	}
	printf("%ld\n", kib);
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
