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

# Runs that stall, or meet a reader's lock held by another user, still take turns
# Runs printlist under strace, stalled at a system call: stall SYSCALL:HOW ARGUMENTS.
stall() {
	ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e inject="$1" "$BIN" "${@:2}"
}
# A removal stalled in its first write for longer than any wait holds the others back
put_list 'x\nr1\nr2\n'
stall pwritev:delay_enter=6000000:when=1 -e x &
sleep 0.5
for change in '-i a1' '-i a2' '-e r1' '-e r2'; do timeout 20 "$BIN" $change & done
wait
[ "$(sort "$LIST" | tr '\n' ' ')" = 'a1 a2 ' ] && pass || fail "runs queued behind a stalled one: $(od -An -c "$LIST")"

# Anyone who can read the directory can lock it: a run waits for it 5 s, not forever,
# and the runs that then go on still take turns
setpriv --reuid=65534 --regid=65534 --clear-groups flock -o "$DIR" sleep 60 </dev/null >/dev/null 2>&1 &
holder=$!
while flock -n "$DIR" true; do sleep 0.05; done
rm -f "$LIST"
run "$BIN" -i lp1 && list_is 'lp1\n' && pass || fail "a lock held by another user: exit $status"
put_list 'lp0\nlp9\n'
stall pwritev:delay_enter=3000000 -i lp1 &
sleep 1
run "$BIN" -e lp9 || fail "a removal behind a stalled add: exit $status"
wait $!
list_is 'lp0\nlp1\n' && pass || fail "a lock held by another user let runs race: $(od -An -c "$LIST")"
# A run held up between arming its wait and waiting is still woken
ASAN_OPTIONS=detect_leaks=0 run strace -f -qq -o /dev/null -e inject=alarm,setitimer:delay_exit=6000000:when=1 \
	"$BIN" -i lp2 && list_is 'lp0\nlp1\nlp2\n' && pass ||
	fail "a run held up before its wait: exit $status"
pkill -P $holder
wait

finish
