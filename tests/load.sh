#!/bin/bash
# printlist end to end under load: concurrent writers lose nothing, and a reader
# holding a shared lock on the directory always sees a whole list.
# Usage: load.sh PRINTLIST
. "$(dirname "$0")/namespace.sh"

WRITERS=8
ROUNDS=25 # each round of a writer is three runs

# The list before: kept lines, each writer's lines to remove among the first of them,
# and enough of them that a run reads for a while before it writes
KEPT=20000
for j in $(seq $KEPT); do
	echo "keep-$j"
	[ "$j" -le $ROUNDS ] && seq -f "gone-%g-$j" $WRITERS
done >"$LIST"
seq -f 'keep-%g' $KEPT >kept

# Takes snapshots the way other programs should read the list, until the writers are done.
reader() {
	local i=0
	while [ ! -e done ]; do
		i=$((i + 1))
		flock -s "$DIR" cat "$LIST" >"snapshot.$i"
	done
}

# A whole list: every line ended and known, every kept line there and in order.
whole() {
	[ -z "$(tail -c 1 "$1")" ] &&
		! grep -vqxE 'keep-[0-9]+|gone-[0-9]+-[0-9]+|new-[0-9]+-[0-9]+|shared' "$1" &&
		grep -x 'keep-[0-9]*' "$1" | cmp -s - kept
}

start=$(date +%s%N)
reader &
for w in $(seq $WRITERS); do
	(for j in $(seq $ROUNDS); do
		"$BIN" -i "new-$w-$j"
		"$BIN" -i shared
		"$BIN" -e "gone-$w-$j"
	done) &
	writers="$writers $!"
done
wait $writers
elapsed=$(($(date +%s%N) - start))
touch done
wait
seen=0 torn=0
for snapshot in snapshot.*; do
	seen=$((seen + 1))
	whole "$snapshot" || torn=$((torn + 1))
done

{ cat kept; for w in $(seq $WRITERS); do seq -f "new-$w-%g" $ROUNDS; done; echo shared; } | sort >want
sort "$LIST" >got
cmp -s want got && pass || fail "mixed writers: $(diff -a want got | head -n 5)"
grep -x 'keep-[0-9]*' "$LIST" | cmp -s - kept && pass || fail 'the kept lines moved'
[ "$seen" -gt 0 ] && [ "$torn" -eq 0 ] && pass || fail "the reader saw $torn torn lists in $seen"
echo "$WRITERS writers x $((3 * ROUNDS)) runs, $((WRITERS * 3 * ROUNDS * 1000000000 / elapsed)) runs/s; the reader took $seen snapshots"

# Writers that add and remove their own name, so the list is deleted and made again
rm -f "$LIST"
for w in $(seq $WRITERS); do
	(for j in $(seq 20); do "$BIN" -i "own-$w"; "$BIN" -e "own-$w"; done; "$BIN" -i "own-$w") &
done
wait
seq -f 'own-%g' $WRITERS >want
sort "$LIST" >got
cmp -s want got && pass || fail "churning writers: $(diff -a want got | head -n 5)"

# Anyone who can read the directory can hold its lock: a run waits for it a while, not forever
rm -f "$LIST"
setpriv --reuid=65534 --regid=65534 --clear-groups flock -o "$DIR" sleep 60 </dev/null >/dev/null 2>&1 &
holder=$!
while flock -n "$DIR" true; do sleep 0.05; done
run "$BIN" -i lp1 && list_is 'lp1\n' && pass || fail "a lock held by another user: exit $status"
pkill -P $holder
wait

finish
