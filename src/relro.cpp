// RELRO for a static PIE linked against musl: the segment's pages are made read-only
// once start-up has relocated them; where they already are, this changes nothing.
#include "relro.h"

#include <link.h>
#include <sys/auxv.h>
#include <stdint.h>
#include <sys/mman.h>

// The program's own ELF header, in memory: the linker defines it.
extern "C" const ElfW(Ehdr) __ehdr_start; // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the linker's

void seal_relro()
{
	const auto *header = reinterpret_cast<const char *>(&__ehdr_start);
	const auto *ph = reinterpret_cast<const ElfW(Phdr) *>(header + __ehdr_start.e_phoff);
	const auto page = static_cast<uintptr_t>(getauxval(AT_PAGESZ)); // sysconf would page in its table
	uintptr_t base = 0; // where address 0 of the program is, once the header is found loaded
	bool loaded = false;
	for (int i = 0; i < __ehdr_start.e_phnum && !loaded; i++) {
		loaded = ph[i].p_type == PT_LOAD && ph[i].p_offset == 0;
		base = reinterpret_cast<uintptr_t>(header) - ph[i].p_vaddr;
	}
	for (int i = 0; loaded && i < __ehdr_start.e_phnum; i++) {
		if (ph[i].p_type != PT_GNU_RELRO)
			continue;
		// inward at the end, as the linker pads the segment to a page there
		const uintptr_t start = (base + ph[i].p_vaddr) & ~(page - 1);
		const uintptr_t end = (base + ph[i].p_vaddr + ph[i].p_memsz) & ~(page - 1);
		if (end > start)
			mprotect(reinterpret_cast<void *>(start), end - start, PROT_READ); // NOLINT(performance-no-int-to-ptr): page-rounded
	}
}
