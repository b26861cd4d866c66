// printlist: add a name to the print list or remove it. Silent; always exits 0.
#include "list_run.h"
#include "print_list.h"
#include "relro.h"

int main(int argc, char *argv[])
{
	seal_relro();
	if (argc < 3 || argv[1][0] != '-')
		return 0;
	const char *name = argv[2];
	list_run run;
	// Every run, loading calls too, first undoes a change cut short by a crash
	if (start_run(run, LIST_PATH)) {
		const print_list list = load_list(run, name);
		save_list(run, list, name, mode_of(argv[1][1]));
	}
	end_run(run);
	return 0;
}
