#!/bin/bash
# printlist end to end when writing fails, and what stays the same file.
# Usage: faults.sh PRINTLIST
. "$(dirname "$0")/namespace.sh"

# Runs printlist with SIGXFSZ ignored, as a shell script's caller might have it.
limited() {
	(trap '' XFSZ; run prlimit --fsize="$1" "$BIN" -i "$2") || fail "fsize $1: exit $status"
}

# A write past a file size limit is undone: no partial line, no new empty file
put_list 'printer-0001\nprinter-0002\n'
limited 30 printer-0003
list_is 'printer-0001\nprinter-0002\n' && pass || fail "a cut add left $(od -An -c "$LIST")"
# and SIGXFSZ left at its default does not kill the run halfway through the line
run prlimit --fsize=30 "$BIN" -i printer-0003 || fail "fsize, SIGXFSZ not ignored: exit $status"
list_is 'printer-0001\nprinter-0002\n' && pass || fail "a killed add left $(od -An -c "$LIST")"
rm -f "$LIST"
limited 3 printer-0003
[ ! -e "$LIST" ] && pass || fail 'a cut add to no list left a file'

# The smallest stack limit still gives a static build a silent run: nothing large lives
# on the stack. (The kernel leaves up to 8 KiB of random gap at the stack's top, so that
# at 8 KiB any program dies now and then: the gap is turned off here. Natively only, and
# not for a dynamic build: an emulator, or the dynamic loader, needs a stack of its own.)
elf_machine() { od -An -tx1 -j18 -N2 "$1"; }
native() { [ "$(elf_machine "$BIN")" = "$(elf_machine /proc/self/exe)" ]; }
if native && ! readelf -l "$BIN" | grep -q INTERP; then
	put_list 'a\nb\nc\n'
	run setarch "$(uname -m)" -R prlimit --stack=8192 "$BIN" -e b && list_is 'a\nc\n' && pass ||
		fail "a removal under an 8 KiB stack: exit $status"
fi

# A removal cut short between two writes, or whose write fails, leaves every line whole;
# a signal that can wait waits until the removal is done
seq -f 'printer%06g' 0 199999 >printers
{ echo lp0; cat printers; } >big
every_line() { LC_ALL=C sort -u "$LIST" | LC_ALL=C comm -13 - printers | cmp -s /dev/null -; }
# Puts a fresh copy of a list in place, with no journal a killed run left for the next
fresh() { cp "$1" "$LIST" && : >"$LIST.lock"; }
# Removes lp0 from a fresh copy of the big list, meeting the fault at the second write.
second_write() {
	fresh big
	{ strace -f -qq -o /dev/null -e trace=pwritev -e inject=pwritev:"$1":when=2 "$BIN" -e lp0; } 2>/dev/null
}
for fault in signal=KILL error=EIO; do
	second_write $fault
	every_line && pass || fail "a removal meeting $fault at its second write tore a line"
done
# nor leaves part of a line that looks like a name: here the first write ends inside
# the old line hplp1, whose tail would read as lp1
{ echo abc; seq -f '%015g' 4094; echo hplp1; printf 'y%.0s' $(seq 40); echo; seq -f '%015g' 5000; } >near
only_old_lines() { LC_ALL=C grep -qvxFf "$1" "$LIST" && return 1; LC_ALL=C grep -vxF abc "$1" | LC_ALL=C grep -qvxFf "$LIST" && return 1; return 0; }
for fault in error=EIO signal=KILL; do
	fresh near
	{ strace -f -qq -o /dev/null -e trace=pwritev -e inject=pwritev:"$fault":when=2 "$BIN" -e abc; } 2>/dev/null
	only_old_lines near && pass || fail "a removal meeting $fault at its second write left a line it never held: $(LC_ALL=C grep -vxFf near "$LIST" | head -n 3)"
done
# nor after it has taken out many lines, more than any fixed number of copies covers
{ printf 'y\n%.0s' $(seq 100); for i in $(seq -f '%03g' 300); do printf "L$i%0296d\ny\n" 0 | tr 0 L; done; } >many
for fault in signal=KILL error=EIO; do
	fresh many
	{ strace -f -qq -o /dev/null -e trace=pwritev -e inject=pwritev:"$fault":when=2 "$BIN" -e y; } 2>/dev/null
	only_old_lines many && pass || fail "a removal of many lines meeting $fault left a line it never held: $(LC_ALL=C grep -vxFf many "$LIST" | head -c 80)"
done
# A kept line longer than the buffer whose write fails leaves every line in the file
L70K=$(head -c 70000 /dev/zero | tr '\0' l)
printf "X\n$L70K\nb\n" >long
cp long "$LIST"
{ strace -f -qq -o /dev/null -e trace=pwritev -e inject=pwritev:error=EIO:when=1 "$BIN" -e X; } 2>/dev/null
only_old_lines long && pass || fail "a failed write of a long line lost a line: $(wc -c <"$LIST") bytes"
# A long line written after copies that end just where a buffer starts: its last part (the
# 10th write) ends at k1's old end, which copies taken past that start would cut across
{ yes abc | head -n 32768; printf 'k1\nk2xx\n'; head -c 131066 /dev/zero | tr '\0' l; printf '\nb\n'; } >seam
fresh seam
{ strace -f -qq -o /dev/null -e trace=pwritev -e inject=pwritev:signal=KILL:when=10 "$BIN" -e abc; } 2>/dev/null
only_old_lines seam && pass || fail "a removal killed after a long line cut the copies before it: $(LC_ALL=C grep -vxFf seam "$LIST" | head -c 80 | od -An -c)"
second_write signal=TERM
cmp -s printers "$LIST" && pass || fail 'a SIGTERM cut a removal short'
# A removal killed at any of its writes, syncs and truncations leaves, once the next
# run is made (an add and a removal of a name never listed), exactly the list before or
# after; one not killed, after
seq -f 'p%05g' 20000 >before # a tail of several reads and writes
grep -vx p00100 before >after
for at in pwritev:1 pwritev:3 pwritev:4 pwritev:5 pwritev:6 fdatasync:1 fdatasync:2 fdatasync:3 ftruncate:1 ftruncate:2 ftruncate:3; do
	fresh before
	{ strace -f -qq -o /dev/null -e inject="${at%:*}":signal=KILL:when="${at#*:}" "$BIN" -e p00100; } 2>/dev/null
	killed=$?
	run "$BIN" -i zz && run "$BIN" -e zz || fail "the runs after a kill at $at: exit $status"
	{ cmp -s after "$LIST" || { [ $killed != 0 ] && cmp -s before "$LIST"; }; } && [ ! -s "$LIST.lock" ] && pass ||
		fail "a removal killed at $at (exit $killed), then a run, left $(diff before "$LIST" | head -c 60 | tr '\n' ' ')"
done
# A failure of the journal's write or sync, or of any read, changes nothing
# (the reads are counted natively only: an emulator makes reads of its own)
for at in pwritev:1 pwritev:4 fdatasync:1 $(native && echo pread64:1 pread64:3 pread64:5 pread64:6); do
	fresh before
	{ strace -f -qq -o /dev/null -e inject="${at%:*}":error=EIO:when="${at#*:}" "$BIN" -e p00100; } 2>/dev/null
	run "$BIN" -l x && cmp -s before "$LIST" && pass || fail "a removal meeting EIO at $at changed the list"
done
# The journal is on disk before the list is first written over, for a crash between the two
fresh before
strace -f -qq -y -o trace -e trace=pwritev,fsync,fdatasync "$BIN" -e p00100 2>/dev/null
[ "$(awk '/sync\([0-9]+<[^>]*\/vnPrintList\.lock>/ { s = 1 } /pwritev\([0-9]+<[^>]*\/vnPrintList>/ { print s + 0; exit }' trace)" = 1 ] &&
	pass || fail 'the list was written over before its journal was synced'
# A journal whose checksum fails is cleared, not put back
fresh before
{ strace -f -qq -o /dev/null -e inject=fdatasync:signal=KILL:when=2 "$BIN" -e p00100; } 2>/dev/null
printf X | dd of="$LIST.lock" bs=1 seek=100 conv=notrunc 2>/dev/null
run "$BIN" -l x && cmp -s after "$LIST" && [ ! -s "$LIST.lock" ] && pass || fail 'a torn journal was put back or kept'

as_member() { setpriv --reuid=65534 --regid=65534 --groups=50 "$@" </dev/null >/dev/null 2>&1; }
# Leaves in $1 a whole journal that, put back into the list as it is now, adds a line X
# and $2 zero bytes: the journal of a removal killed once it was saved
forge() {
	cp "$LIST" plain && { echo X; head -c "${2:-0}" /dev/zero; } >>"$LIST" && : >"$LIST.lock"
	{ strace -f -qq -o /dev/null -e inject=fdatasync:signal=KILL:when=1 "$BIN" -e X; } 2>/dev/null
	cp --sparse=always "$LIST.lock" "$1" && chmod 0644 "$1" && cp plain "$LIST" && : >"$LIST.lock"
}
# A journal is applied only from a lock file no one but who may change the list could
# write: not from one 1.2.0 left 0660 root:staff, whose member took first the names a
# mend might use, nor from one of a group the list does not grant, under a run of a
# member of both
chgrp staff "$DIR" && chmod 2775 "$DIR"
put_list 'lp0\nlp1\n'
forge forged
chgrp staff "$LIST.lock" && chmod 0660 "$LIST.lock"
as_member sh -c "cat forged >'$LIST.lock'; n=\$(cat /proc/sys/kernel/ns_last_pid); for p in \$(seq \$n \$((n + 300))); do : >'$LIST.lock.'\$p; done"
run "$BIN" -l x && list_is 'lp0\nlp1\n' && [ "$(stat -c %a "$LIST.lock")" = 600 ] && pass || fail "a forged journal behind planted names: $(od -An -c "$LIST")"
rm -f "$LIST.lock".*
chgrp staff "$LIST" && chmod 0664 "$LIST"
forge forged
chgrp lp "$LIST.lock" && chmod 0660 "$LIST.lock"
setpriv --reuid=65534 --regid=65534 --groups=7 sh -c "cat forged >'$LIST.lock'"
setpriv --reuid=65534 --regid=65534 --groups=50,7 "$BIN" -l x
list_is 'lp0\nlp1\n' && pass || fail "a journal of a group the list does not grant: $(od -An -c "$LIST")"
chmod 0755 "$DIR" && chgrp root "$DIR" "$LIST" && rm -f "$LIST.lock"
# A journal with holes is torn, not put back: it would grow the list with root's blocks
put_list 'lp0\nlp1\n'
forge holed 2097152
cp --sparse=always holed "$LIST.lock"
run "$BIN" -l x && list_is 'lp0\nlp1\n' && [ ! -s "$LIST.lock" ] && pass || fail "a journal with holes: $(stat -c %s "$LIST") bytes"
# A journal belongs to its list, not to numbers that come back: a list on a tmpfs that
# is mounted afresh, as at a reboot, gets the same device and inode
mkdir /usr/local/lists && mount -t tmpfs tmpfs /usr/local/lists
rm -f "$LIST" && ln -s /usr/local/lists/vnPrintList "$LIST" && : >"$LIST.lock"
printf 'lp0\nlp1\nlp2\nlp3\n' >/usr/local/lists/vnPrintList
{ strace -f -qq -o /dev/null -e inject=fdatasync:signal=KILL:when=1 "$BIN" -e lp1; } 2>/dev/null
umount /usr/local/lists && mount -t tmpfs tmpfs /usr/local/lists
seq -f 'new%g' 0 4 >/usr/local/lists/vnPrintList
run "$BIN" -l x && seq -f 'new%g' 0 4 | cmp -s - /usr/local/lists/vnPrintList && pass || fail "an old journal went into a new list: $(od -An -c /usr/local/lists/vnPrintList)"
umount /usr/local/lists && rm -rf "$LIST" /usr/local/lists
# A put-back that would pass the file size limit changes nothing until a run can
seq -f 'lp%g' 0 1200 >lps
cp lps "$LIST" && : >"$LIST.lock"
{ strace -f -qq -o /dev/null -e inject=ftruncate:signal=KILL:when=1 "$BIN" -e lp1; } 2>/dev/null
cp "$LIST" killed
(trap '' XFSZ; run prlimit --fsize=3000 "$BIN" -l x) && cmp -s killed "$LIST" && [ -s "$LIST.lock" ] &&
	run "$BIN" -l x && cmp -s lps "$LIST" && pass || fail "a put-back past the size limit: $(diff killed "$LIST" | head -c 80)"
# A list cut short by another program while a removal reads it: that run stops, silent
cp big "$LIST"
(sleep 1; truncate -s 0 "$LIST") &
ASAN_OPTIONS=detect_leaks=0 run strace -f -qq -o /dev/null -e inject=pwritev:delay_enter=2000000:when=1 "$BIN" -e lp0 &&
	pass || fail "a list cut short while read: exit $status, $(cat "$WORK/err")"
wait
# A list larger than the file size limit: the removal's writes would fail partway
cp big "$LIST"
(trap '' XFSZ; run prlimit --fsize=1000000 "$BIN" -e lp0) || fail "fsize, removal: exit $status"
cmp -s big "$LIST" && pass || fail 'a removal past the file size limit changed the list'

# and a limit above the list's size lets the removal go on
cp big "$LIST"
(trap '' XFSZ; run prlimit --fsize=100000000 "$BIN" -e lp0) || fail "fsize above the list, removal: exit $status"
cmp -s printers "$LIST" && pass || fail 'a removal under a file size limit above the list changed nothing'

# What is checked is what is changed: an add whose write fails is undone on its own
# descriptor, even when a link to another file is put in the list's place meanwhile
printf 'keep\n' >/usr/local/victim
put_list 'a\n'
ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e inject=pwritev:error=ENOSPC \
	-e inject=truncate:delay_enter=2000000 "$BIN" -i lp1 2>/dev/null &
sleep 1
ln -s /usr/local/victim "$DIR/swap" && mv -T "$DIR/swap" "$LIST"
wait
printf 'keep\n' | cmp -s - /usr/local/victim && pass || fail "a failed add cut another file: $(od -An -c /usr/local/victim)"
rm -f "$LIST" /usr/local/victim
# and a FIFO put in the list's place at any moment is never opened, not even for an instant
command -v inotifywait >/dev/null || echo "skipped: the FIFO swaps need inotifywait (inotify-tools)"
command -v inotifywait >/dev/null && for when in 1 2 3 4 5 6; do
	put_list 'a\n'
	mkfifo "$DIR/fifo" # beside the list: a rename to another mount would copy it
	inotifywait -q -m -e open "$DIR/fifo" >opens 2>/dev/null &
	watcher=$!
	sleep 0.2
	ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e inject=open,openat:delay_enter=400000:when=$when \
		"$BIN" -i lp1 2>/dev/null &
	sleep 0.2
	mv "$DIR/fifo" "$LIST"
	wait $!
	sleep 0.1
	kill $watcher
	[ -s opens ] && fail "a FIFO swapped in at the open numbered $when was opened" || pass
	rm -f "$LIST"
done

# A full disk: an add that does not fit changes nothing, a removal still works
mount -t tmpfs -o size=256k tmpfs /usr/local
mkdir -p "$DIR"
fill() { dd if=/dev/zero of=/usr/local/fill bs=4k 2>/dev/null; }
fill
run "$BIN" -i printer-0001 || fail "full disk, no list: exit $status"
[ ! -e "$LIST" ] && pass || fail 'a failed add on a full disk left a list'
rm /usr/local/fill
put_list 'a\nb'
fill
BIG=$(head -c 9000 /dev/zero | tr '\0' b)
run "$BIN" -i "$BIG" || fail "full disk, add: exit $status"
list_is 'a\nb' && pass || fail "a failed add on a full disk left $(head -c 100 "$LIST" | od -An -c)"
run "$BIN" -e a || fail "full disk, remove: exit $status"
list_is 'b\n' && pass || fail "a removal on a full disk left $(od -An -c "$LIST")"
# and a put-back that would need more room changes nothing until there is room
rm /usr/local/fill
for i in $(seq 2000); do echo xxxxxxxxxxxxxxxxxxxxxxx; echo "k$i"; done >xs
grep -vx xxxxxxxxxxxxxxxxxxxxxxx xs >xs_after
cp xs "$LIST" && : >"$LIST.lock"
{ strace -f -qq -o /dev/null -e inject=fdatasync:signal=KILL:when=2 "$BIN" -e xxxxxxxxxxxxxxxxxxxxxxx; } 2>/dev/null
fill
run "$BIN" -l x && cmp -s xs_after "$LIST" && [ -s "$LIST.lock" ] && rm /usr/local/fill && run "$BIN" -l x && cmp -s xs "$LIST" &&
	pass || fail "a put-back on a full disk: $(stat -c %s "$LIST") bytes, $(tail -c 20 "$LIST" | od -An -c)"
umount /usr/local
mkdir -p "$DIR"

# The list stays the same file: inode, owner, group and mode, seen through a hard link
identity() { stat -c '%i %u %g %a' "$1"; }
put_list 'a\nb\n'
chown 12:34 "$LIST"
chmod 0640 "$LIST"
ln "$LIST" /usr/local/Varnolt/hard
before=$(identity "$LIST")
for change in '-i c:a\nb\nc\n' '-e a:b\nc\n'; do
	run "$BIN" ${change%%:*} || fail "identity: exit $status"
	[ "$(identity "$LIST")" = "$before" ] && printf "${change#*:}" | cmp -s - /usr/local/Varnolt/hard &&
		pass || fail "identity after ${change%%:*}: $(identity "$LIST"), was $before"
done
[ "$(ls -A "$DIR" | tr "\n" " ")" = "vnPrintList vnPrintList.lock " ] && pass || fail "other files appeared: $(ls -A "$DIR")"
# Emptied, a hard-linked list stays in place, the same file
run "$BIN" -e b && run "$BIN" -e c || fail "identity, emptied: exit $status"
[ "$(identity "$LIST")" = "$before" ] && [ ! -s /usr/local/Varnolt/hard ] && pass ||
	fail 'an emptied hard-linked list was not left in place'
rm -f "$LIST" /usr/local/Varnolt/hard

# A list that is a symbolic link is written through; the link stays a link
printf 'a\nb\n' >/usr/local/Varnolt/real
ln -s ../real "$LIST"
run "$BIN" -i c && run "$BIN" -e a || fail "symlink: exit $status"
[ -L "$LIST" ] && printf 'b\nc\n' | cmp -s - /usr/local/Varnolt/real && pass || fail 'the link was not written through'
# and emptied, the link stays, so the next add still reaches its target
run "$BIN" -e b && run "$BIN" -e c && run "$BIN" -i d || fail "symlink, emptied: exit $status"
[ -L "$LIST" ] && printf 'd\n' | cmp -s - /usr/local/Varnolt/real && pass || fail 'an emptied link was removed'

rm -f "$LIST" /usr/local/Varnolt/real
# A link root made whose target is not there yet: an add makes the list there, and a
# failed one removes it there again; the same holds for a lock file kept elsewhere
mkdir /usr/local/lists /usr/local/locks
ln -s /usr/local/lists/vnPrintList "$LIST"
limited 3 lp1
[ -z "$(ls -A /usr/local/lists)" ] && [ -L "$LIST" ] && pass || fail "a failed add through a new link left $(ls -A /usr/local/lists)"
run "$BIN" -i lp1 || fail "a link to a list not there yet: exit $status"
printf 'lp1\n' | cmp -s - /usr/local/lists/vnPrintList && pass || fail 'an add through a link to no file yet made no list'
rm -f "$LIST" "$LIST.lock"
ln -s /usr/local/locks/vnPrintList.lock "$LIST.lock"
run "$BIN" -i lp2 && run "$BIN" -i lp3 || fail "a link to a lock file not there yet: exit $status"
list_is 'lp2\nlp3\n' && [ -f /usr/local/locks/vnPrintList.lock ] && pass ||
	fail "a link to a lock file not there yet: $(ls -A /usr/local/locks)"
rm -rf "$LIST" "$LIST.lock" /usr/local/lists /usr/local/locks
# As many links in a row as the kernel follows, and not one more
printf 'a\n' >/usr/local/Varnolt/end
for n in $(seq 41); do ln -s "$([ $n = 1 ] && echo end || echo l$((n - 1)))" /usr/local/Varnolt/l$n; done
for chain in 40:'a\nlp1\n' 41:'a\n'; do
	ln -sfn ../l$((${chain%%:*} - 1)) "$LIST"
	printf 'a\n' >/usr/local/Varnolt/end
	run "$BIN" -i lp1 || fail "${chain%%:*} links: exit $status"
	printf "${chain#*:}" | cmp -s - /usr/local/Varnolt/end && pass || fail "a chain of ${chain%%:*} links: $(cat /usr/local/Varnolt/end)"
done
rm -f "$LIST" /usr/local/Varnolt/l* /usr/local/Varnolt/end

# A list over 2 GiB, its first line a hole: a 32-bit build changes it as well. Each
# run reads it whole, which takes seconds under an emulator.
HOLE=$((2200 << 20))
# True when the list is the hole and then the bytes of the printf format given.
after_hole() {
	printf "$1" >want
	[ "$(stat -c %s "$LIST")" = $((HOLE + $(stat -c %s want))) ] &&
		tail -c "$(stat -c %s want)" "$LIST" | cmp -s - want
}
rm -f "$LIST"
truncate -s $HOLE "$LIST"
printf '\nlp9\n' >>"$LIST"
RUN_TIMEOUT=60 run "$BIN" -e lp9 || fail "over 2 GiB, remove: exit $status"
after_hole '\n' && pass || fail "a removal from a list over 2 GiB left $(tail -c 8 "$LIST" | od -An -c)"
RUN_TIMEOUT=60 run "$BIN" -i lp1 || fail "over 2 GiB, add: exit $status"
after_hole '\nlp1\n' && pass || fail "an add to a list over 2 GiB left $(tail -c 8 "$LIST" | od -An -c)"
rm -f "$LIST"

finish
