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

# A run keeps readers out of its change, also one that waited out a run ahead of it and
# so gave up on the directory: a reader that takes its lock during either change sees
# the list before or after it, never halfway
{ echo x; for i in $(seq -f '%03g' 0 99); do echo "k$i"; echo y; done; } >"$LIST"
cp "$LIST" before
grep -vx x "$LIST" >after_x
grep -vx y after_x >after_y
stall ftruncate:delay_enter=7000000 -e x &
sleep 0.5
stall ftruncate:delay_enter=4000000 -e y &
sleep 2.5
timeout 20 flock -s "$DIR" cat "$LIST" >seen_a
sleep 2
timeout 20 flock -s "$DIR" cat "$LIST" >seen_b
wait
for seen in seen_a seen_b; do
	cmp -s $seen before || cmp -s $seen after_x || cmp -s $seen after_y && pass ||
		fail "a reader saw a change halfway ($seen): $(sort $seen | uniq -d | head -n 3 | tr '\n' ' ')"
done
cmp -s after_y "$LIST" && pass || fail "the queued removals: $(head -c 80 "$LIST" | od -An -c)"
# and a reader that holds it for a moment delays a run for that moment, not for the
# whole wait
put_list 'lp0\n'
flock -s "$DIR" sleep 1 &
sleep 0.2
start=$SECONDS
run "$BIN" -i lp1 && list_is 'lp0\nlp1\n' && [ $((SECONDS - start)) -lt 4 ] && pass ||
	fail "a run behind a brief reader: exit $status after $((SECONDS - start)) s"
wait

# Anyone who can read the directory can lock it: a run waits for it 10 s at most, not
# forever, a queue of runs waits that long once, not once for each run, and the runs
# that then go on still take turns
setpriv --reuid=65534 --regid=65534 --clear-groups flock -o "$DIR" sleep 90 </dev/null >/dev/null 2>&1 &
holder=$!
while flock -n "$DIR" true; do sleep 0.05; done
rm -f "$LIST"
start=$SECONDS
for n in 1 2 3 4; do timeout 30 "$BIN" -i q$n & done
wait $(jobs -p | grep -vx $holder)
[ "$(sort "$LIST" | tr '\n' ' ')" = 'q1 q2 q3 q4 ' ] && [ $((SECONDS - start)) -lt 16 ] && pass ||
	fail "runs behind a lock held by another user: $((SECONDS - start)) s, $(od -An -c "$LIST")"
export RUN_TIMEOUT=30
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
unset RUN_TIMEOUT

# Only who may change the list can hold runs up. A member of staff who may read the
# lock file, but not write the list, holds none up, whatever the umask of the root run
# that made the lock file
as_member() { setpriv --reuid=65534 --regid=65534 --groups=50 "$@" </dev/null >/dev/null 2>&1; }
chgrp staff "$DIR"
chmod 2755 "$DIR"
for mask in 022 002; do
	rm -f "$LIST.lock"
	put_list 'lp0\n'
	chmod 0644 "$LIST"
	(umask $mask && "$BIN" -i lp1)
	as_member flock -x "$LIST.lock" sleep 30 &
	holder=$!
	sleep 0.5
	RUN_TIMEOUT=8 run "$BIN" -i lp2 && list_is 'lp0\nlp1\nlp2\n' && pass ||
		fail "a member of staff held runs up at umask $mask: exit $status"
	pkill -P $holder
	wait
done
# A lock file as 1.2.0 made it loses what the list does not grant; an administrator
# who gives a group both the list and the lock file keeps that
chgrp staff "$LIST.lock" && chmod 0660 "$LIST.lock"
run "$BIN" -i lp3 && [ "$(stat -c %a "$LIST.lock")" = 600 ] && pass ||
	fail "a lock file open to the group stayed $(stat -c %a "$LIST.lock")"
chgrp staff "$LIST" "$LIST.lock" && chmod 0664 "$LIST" && chmod 0660 "$LIST.lock"
run "$BIN" -i lp4 && [ "$(stat -c %a "$LIST.lock")" = 660 ] && list_is 'lp0\nlp1\nlp2\nlp3\nlp4\n' && pass ||
	fail "a group given the list and the lock file lost it: $(stat -c %a "$LIST.lock")"
# and a member who may write the lock file but not read it, as 1.3.0's README had it, still removes
chmod 0620 "$LIST.lock"
as_member "$BIN" -e lp4 && list_is 'lp0\nlp1\nlp2\nlp3\n' && [ ! -s "$LIST.lock" ] && pass ||
	fail "a member with a lock file to write alone: $(tail -n 1 "$LIST")"
# Where a member may write the directory, a lock file of theirs counts for nothing: the
# run changes nothing, at once
chmod 2775 "$DIR"
put_list 'lp0\n'
as_member sh -c "rm -f '$LIST.lock' && : >'$LIST.lock' && exec flock -x '$LIST.lock' sleep 30" &
holder=$!
while [ "$(stat -c %u "$LIST.lock" 2>/dev/null)" != 65534 ]; do sleep 0.05; done
RUN_TIMEOUT=8 run "$BIN" -i lp1 && list_is 'lp0\n' && pass || fail "a planted lock file held a run up: exit $status"
pkill -P $holder
wait
# A lock file removed while runs wait on it locks nothing: the run queued on it takes
# turns with the one that made a new lock file meanwhile
rm -f "$LIST.lock"
put_list 'x\nr1\n'
stall pwritev:delay_enter=6000000:when=1 -e x &
sleep 0.3
timeout 30 "$BIN" -i b1 &
sleep 5.2
as_member rm -f "$LIST.lock"
stall pwritev:delay_enter=7000000:when=1 -i c1 &
wait
list_is 'r1\nc1\nb1\n' && pass || fail "a run queued on a removed lock file raced: $(od -An -c "$LIST")"
chmod 2755 "$DIR"
# Those who may not change the list hold no run up: not through a descriptor of a lock
# file that 1.2.0 made 0640 root:staff, opened before a run mended it, nor as members of
# a group the lock file has but the list does not grant
put_list 'lp0\n' && chgrp staff "$LIST.lock" && chmod 0640 "$LIST.lock"
as_member sh -c "exec 3<'$LIST.lock'; sleep 1; flock -x 3; sleep 30" &
holder=$!
sleep 0.5
run "$BIN" -i lp1 && sleep 1 && RUN_TIMEOUT=8 run "$BIN" -i lp2 && list_is 'lp0\nlp1\nlp2\n' && pass ||
	fail "a descriptor opened before the mend held a run: exit $status"
pkill -P $holder
chmod 0664 "$LIST" && chgrp lp "$LIST.lock" && chmod 0660 "$LIST.lock"
run "$BIN" -i lp3
setpriv --reuid=65534 --regid=65534 --groups=7 flock -x "$LIST.lock" sleep 30 </dev/null >/dev/null 2>&1 &
holder=$!
sleep 0.5
RUN_TIMEOUT=8 run "$BIN" -i lp4 && list_is 'lp0\nlp1\nlp2\nlp3\nlp4\n' && pass || fail "a member of the lock file's group held a run: exit $status"
pkill -P $holder
wait
# nor by making the lock file another name of the list: the list keeps its mode
rm "$LIST.lock" && ln "$LIST" "$LIST.lock"
run "$BIN" -i lp5 && [ "$(stat -c %a "$LIST")" = 664 ] && list_is 'lp0\nlp1\nlp2\nlp3\nlp4\n' && pass ||
	fail "the lock file as the list: $(stat -c %a "$LIST")"
# A mend cut short by a signal leaves no file behind: the signal waits for it
put_list 'lp0\n' && : >"$LIST.lock" && chgrp staff "$LIST.lock" && chmod 0640 "$LIST.lock"
ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e inject=fchmod:delay_enter=1500000 "$BIN" -i lp1 &
sleep 0.7
pkill -TERM -f "^$BIN -i lp1"
wait
[ "$(ls -A "$DIR" | tr '\n' ' ')" = "vnPrintList vnPrintList.lock " ] && [ "$(stat -c %a "$LIST.lock")" = 600 ] && pass ||
	fail "a mend stopped by SIGTERM left $(ls -A "$DIR" | tr '\n' ' ')"
# Root waits only so long for a lock file others can open: one 1.2.0 left 0640
# root:staff, held by a member before any run mended it; a group's, the list emptied
# and gone; and a member's own, beside the member's own list, in a directory staff may write
waits() {
	local start=$SECONDS
	as_member sh -c "$2 && exec flock -x '$LIST.lock' sleep 30" &
	holder=$!
	sleep 0.5
	RUN_TIMEOUT=20 run "$BIN" -i lp9 && [ $((SECONDS - start)) -lt 13 ] && ! grep -qx lp9 "$LIST" 2>/dev/null && pass ||
		fail "root waited on $1: exit $status after $((SECONDS - start)) s"
	pkill -P $holder
	wait
}
put_list 'lp0\n' && chgrp staff "$LIST.lock" && chmod 0640 "$LIST.lock"
waits 'a lock file 1.2.0 left' true
rm -f "$LIST" && chmod 0660 "$LIST.lock"
waits "a group's lock file" true
chgrp staff "$DIR" && chmod 2775 "$DIR" && put_list 'lp0\n'
waits "a member's own lock file" "cp '$LIST' '$DIR/mine' && mv -f '$DIR/mine' '$LIST' && rm -f '$LIST.lock' && : >'$LIST.lock'"
# A run queued behind a stopped holder of the writers' lock keeps no reader out
rm -f "$LIST.lock"
flock -x "$LIST.lock" sleep 30 &
holder=$!
sleep 0.3
timeout 20 "$BIN" -i lp6 &
sleep 0.3
timeout 5 flock -s "$DIR" cat "$LIST" >/dev/null && pass || fail 'a run waiting for the writers kept a reader out'
pkill -P $holder
wait
rm -f "$LIST.lock"
chmod 0755 "$DIR"
chgrp root "$DIR"

finish
