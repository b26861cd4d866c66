// printlist: add a name to the print list or remove it. Silent; always exits 0.
#include <csignal>

#include "list_lock.h"
#include "print_list.h"

int main(int argc, char *argv[])
{
	if (argc < 3 || argv[1][0] != '-')
		return 0;
	// A file size limit must fail the write, which is undone, not kill the run halfway.
	signal(SIGXFSZ, SIG_IGN);
	const char *name = argv[2];
	const list_lock lock(LIST_PATH);
	if (lock.state == LOCK_DENIED)
		return 0;
	clear_list();
	load_list(name);
	if (argv[1][1] == 'i')
		save_list(name, LIST_ADD);
	else if (argv[1][1] == 'e')
		save_list(name, LIST_REMOVE);
	return 0;
}
