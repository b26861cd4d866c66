// printlist: add a name to the print list or remove it. Silent; always exits 0.
#include <signal.h>

#include "list_lock.h"
#include "list_path.h"
#include "print_list.h"
#include "relro.h"

int main(int argc, char *argv[])
{
	seal_relro();
	if (argc < 3 || argv[1][0] != '-')
		return 0;
	// A file size limit must fail the write, which is undone, not kill the run halfway.
	signal(SIGXFSZ, SIG_IGN);
	const char *name = argv[2];
	const int dir = open_parent_dir(LIST_PATH);
	if (dir < 0)
		return 0;
	const list_lock lock(dir, LIST_NAME);
	// Every run, loading calls too, first undoes a change cut short by a crash
	if (!lock.held || !recover_list(lock.writers, dir))
		return 0;
	clear_list();
	load_list(name, dir);
	if (argv[1][1] == 'i')
		save_list(name, LIST_ADD, dir, lock.writers);
	else if (argv[1][1] == 'e')
		save_list(name, LIST_REMOVE, dir, lock.writers);
	return 0;
}
