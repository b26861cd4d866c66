#!/bin/bash
# printlist end to end across a power cut: each list on its own ext4 file system on a
# loop device, and a copy of the backing file taken once the journal has committed
# but before dirty pages are written back: what the disk would hold after a cut.
# Usage: power.sh PRINTLIST
. "$(dirname "$0")/namespace.sh"

expire=$(cat /proc/sys/vm/dirty_expire_centisecs)
if [ "$expire" -lt 1000 ]; then
	echo "skipped: dirty pages are written back after $((expire / 100)) s here, which hides what a cut would lose"
	exit 77
fi
command -v mkfs.ext4 >/dev/null || { echo "skipped: needs mkfs.ext4 (e2fsprogs)"; exit 77; }
# (the mount namespace goes with this shell, but loop devices are the machine's)
trap 'for n in 1 2 3 4; do umount "$WORK/cut.$n" /usr/local; done 2>/dev/null
	for n in 1 2 3 4; do losetup -j "$WORK/disk.$n"; done | cut -d: -f1 | xargs -rn1 losetup -d
	rm -rf "$WORK"' EXIT

printers() { seq -f 'printer-%05g' 0 1999; }
# N|BEFORE|AFTER|ARGUMENTS: BEFORE and AFTER print the list's lines, or are - for no list
cases=(
	"1|printers|printers | grep -vx printer-00010|-e printer-00010"
	"2|printers|printers; echo printer-new|-i printer-new"
	"3|-|echo lp1|-i lp1"
	"4|echo lp1|-|-e lp1"
)
# Each change on a file system of its own, mounted over the one before, which keeps its
# dirty pages in memory as a running machine would
for c in "${cases[@]}"; do
	IFS='|' read -r n before after args <<<"$c"
	truncate -s 64M "$WORK/disk.$n"
	mkfs.ext4 -q -F "$WORK/disk.$n"
	if ! dev=$(losetup -f --show "$WORK/disk.$n" 2>/dev/null) || ! mount "$dev" /usr/local; then
		echo "skipped: cannot mount a loop device here"
		exit 77
	fi
	mkdir -p "$DIR"
	[ "$before" = - ] || eval "$before" >"$LIST"
	sync -f "$DIR" # this file system alone: the others keep what they have in memory
	run "$BIN" $args || fail "case $n, printlist $args: exit $status"
done
sleep 7 # past ext4's 5 s commit, well before the 30 s write-back
for c in "${cases[@]}"; do
	IFS='|' read -r n before after args <<<"$c"
	cp --sparse=always "$WORK/disk.$n" "$WORK/copy.$n"
done
for c in "${cases[@]}"; do
	IFS='|' read -r n before after args <<<"$c"
	mkdir "$WORK/cut.$n"
	mount -o loop "$WORK/copy.$n" "$WORK/cut.$n" || { fail "case $n: the copy does not mount"; continue; }
	cut=$WORK/cut.$n/Varnolt/inf/vnPrintList
	if [ "$after" = - ]; then
		[ ! -e "$cut" ] && pass || fail "after a cut, printlist $args left $(wc -l <"$cut") lines"
	else
		eval "$after" >"$WORK/want.$n"
		cmp -s "$WORK/want.$n" "$cut" && pass ||
			fail "after a cut, printlist $args left $(stat -c %s "$cut" 2>/dev/null) bytes: $(diff -a "$WORK/want.$n" "$cut" | head -n 4 | tr -d "\\000" | tr "\\n" " ")"
	fi
	umount "$WORK/cut.$n"
done

finish
