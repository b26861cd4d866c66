// Sealing the program's relocated data, where its start-up leaves that undone.
#ifndef RELRO_H
#define RELRO_H

// Makes the program's RELRO segment read-only, as a dynamic loader, or glibc's static
// start-up, does after relocating: musl's static start-up leaves it writable.
void seal_relro();

#endif
