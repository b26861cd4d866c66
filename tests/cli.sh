#!/bin/bash
# printlist end to end: the command line, adding, removing and matching, and the
# ways a list can be unusual, each checked on the list's bytes.
# Usage: cli.sh PRINTLIST
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/namespace.sh"

# t DESCRIPTION BEFORE ARGUMENTS AFTER
# BEFORE and AFTER are the list's bytes as printf formats, or - for no file;
# AFTER = means unchanged, modification time included. ARGUMENTS are shell words.
t() {
	local what=$1 before=$2 after=$4
	if [ "$before" = - ]; then rm -f "$LIST"; else put_list "$before"; fi
	eval "set -- $3"
	if ! run "$BIN" "$@"; then
		fail "$what: exit $status, output '$(cat out err)'"
	elif [ "$after" = - ] || [ "$after$before" = =- ]; then
		[ ! -e "$LIST" ] && pass || fail "$what: there is a list"
	elif [ "$after" = = ]; then
		list_is "$before" && untouched && pass || fail "$what: the list changed"
	else
		list_is "$after" && pass || fail "$what: got $(od -An -c "$LIST" | head -c 300)"
	fi
}

# The command line
t 'no arguments'                      'a\n'   ''              =
t 'an option without a name'          'a\n'   '-i'            =
t 'an option without a name, no list' -       '-i'            =
t 'no leading minus'                  'a\n'   'i b'           =
t 'an empty option'                   'a\n'   '"" b'          =
t 'upper-case I'                      'a\n'   '-I b'          =
t 'upper-case E'                      'a\n'   '-E a'          =
t 'a lone minus'                      'a\n'   '- a'           =
t 'another letter'                    'a\n'   '-x a'          =
t 'letters after -i'                  'a\n'   '-ifoo b'       'a\nb\n'
t 'letters after -e'                  'a\nb\n' '-everything a' 'b\n'
t 'arguments after the name'          'a\nb\n' '-e a -i c d'  'b\n'

# Adding, removing and matching: the cases shared with the Ansible module
. "$HERE/list_cases.sh"

# A list path that is no regular file is left as it is, and not even opened: opening a
# FIFO releases its writer, opening a device runs its driver
# (-y shows the file each open returns; O_PATH opens nothing)
hostile() {
	local what=$1 target=$2
	for option in -i -e; do
		# (a sanitizer build's leak check cannot run under a tracer)
		if ! ASAN_OPTIONS=detect_leaks=0 run strace -f -qq -y -o trace -e trace=open,openat "$BIN" "$option" lp1; then
			fail "$what, $option: exit $status"
		elif grep -v O_PATH trace | grep -qF "<$target>"; then
			fail "$what, $option: opened it"
		else
			pass
		fi
	done
}
rm -f "$LIST"; mkdir "$LIST"
hostile 'a directory' "$LIST"
[ -d "$LIST" ] && [ -z "$(ls -A "$LIST")" ] && pass || fail 'the directory changed'
rmdir "$LIST"; mkfifo "$LIST"
hostile 'a FIFO' "$LIST"
[ -p "$LIST" ] && pass || fail 'the FIFO changed'
rm -f "$LIST"; ln -s /dev/zero "$LIST"
hostile 'a link to /dev/zero' /dev/zero
[ -L "$LIST" ] && [ "$(readlink "$LIST")" = /dev/zero ] && pass || fail 'the link changed'
rm -f "$LIST"

# Root follows no link another user planted, at the list or at a directory above it,
# even where that user may write the directories; links root made are followed
# (faults.sh). Victim: a root-only file or directory such a link points at.
as_member() { setpriv --reuid=65534 --regid=65534 --groups=50 "$@"; }
chgrp staff /usr/local/Varnolt "$DIR" && chmod 2775 /usr/local/Varnolt "$DIR"
printf 'lp1\nroot:x:0:0\n' >/usr/local/victim
chmod 0640 /usr/local/victim
rm -f "$LIST"
as_member ln -s /usr/local/victim "$LIST"
run "$BIN" -i lp2 && run "$BIN" -e lp1 || fail "a planted link: exit $status"
printf 'lp1\nroot:x:0:0\n' | cmp -s - /usr/local/victim && pass || fail 'root wrote through a link another user planted'
rm -f "$LIST"
mkdir -m 0700 /usr/local/secret
as_member mv "$DIR" /usr/local/Varnolt/inf.old && as_member ln -s /usr/local/secret "$DIR"
run "$BIN" -i lp1 || fail "a planted directory link: exit $status"
[ -z "$(ls -A /usr/local/secret)" ] && pass || fail "root wrote into a directory another user linked in: $(ls -A /usr/local/secret)"
rm "$DIR" && mv /usr/local/Varnolt/inf.old "$DIR"
# Past a directory a member of staff made, only their own files count: not a link of
# theirs to a root file, one level down or two, nor a file root owns; and a run so
# refused makes nothing
for layout in inf Varnolt; do
	[ $layout = Varnolt ] && chgrp staff /usr/local && chmod 2775 /usr/local
	top=/usr/local/Varnolt; [ $layout = inf ] && top=$DIR
	as_member mv $top $top.old && as_member mkdir -p "$DIR" && as_member ln -s /usr/local/victim "$LIST"
	run "$BIN" -i lp2 && run "$BIN" -e lp1 || fail "a member's own $layout: exit $status"
	printf 'lp1\nroot:x:0:0\n' | cmp -s - /usr/local/victim && pass || fail "root wrote through a member's own $layout"
	[ ! -e "$LIST.lock" ] && pass || fail "a refused run made a lock file in a member's own $layout"
	rm -rf $top && mv $top.old $top
done
chmod 0755 /usr/local && chgrp root /usr/local
# nor in a directory that simply belongs to a user, a link of theirs to a root file
rm -f "$LIST.lock" && chown nobody "$DIR" && as_member ln -s /usr/local/victim "$LIST"
run "$BIN" -i lp2 && printf 'lp1\nroot:x:0:0\n' | cmp -s - /usr/local/victim && pass || fail "root wrote through a user's link"
# and a user's own list in their own directory works, and what root makes there is theirs
rm "$LIST"
run "$BIN" -i lp1 && list_is 'lp1\n' && [ "$(stat -c %U "$LIST" "$LIST.lock" | sort -u)" = nobody ] && pass ||
	fail "a user's own list: $(stat -c '%n %U' "$LIST" "$LIST.lock" 2>&1)"
rm -f "$LIST" "$LIST.lock" && chown root:staff "$DIR"
# A second name of the list, where others may write the directory, may be one they
# linked to a root file: it is left alone
put_list 'a\n' && ln "$LIST" /usr/local/Varnolt/second
run "$BIN" -i lp1 && list_is 'a\n' && pass || fail 'a hard-linked list in a shared directory was changed'
rm -f /usr/local/Varnolt/second "$LIST" "$LIST.lock"
# A caller who is neither root nor whose files the place trusts, finding no lock file,
# makes none and changes nothing
put_list 'a\n' && chmod 0666 "$LIST"
run setpriv --reuid=65534 --regid=65534 --groups=50 "$BIN" -i lp1 && list_is 'a\n' && [ ! -e "$LIST.lock" ] && pass || fail 'a member made the lock file'
rm -f "$LIST"
mv "$DIR" /usr/local/Varnolt/inf.real && ln -s inf.real "$DIR"
run "$BIN" -i lp1 || fail "a directory link root made: exit $status"
printf 'lp1\n' | cmp -s - /usr/local/Varnolt/inf.real/vnPrintList && pass || fail 'a directory link root made was not followed'
rm "$DIR" && mv /usr/local/Varnolt/inf.real "$DIR" && rm "$LIST"
chmod 0755 /usr/local/Varnolt "$DIR"

# A list the caller cannot read but could write is not taken for an empty one
put_list 'a\n'
chmod 0222 "$LIST"
run setpriv --reuid=65534 --regid=65534 --clear-groups "$BIN" -i lp1 || fail "unreadable: exit $status"
chmod 0644 "$LIST"
list_is 'a\n' && untouched && pass || fail 'an unreadable list was rewritten'

# A caller who may write the list but cannot take the writers' lock changes nothing
put_list 'a\n'
chmod 0666 "$LIST"
chmod 0711 "$DIR"
run setpriv --reuid=65534 --regid=65534 --clear-groups "$BIN" -i lp1 || fail "directory 0711: exit $status"
chmod 0755 "$DIR"
list_is 'a\n' && untouched && pass || fail 'a caller outside the lock changed the list'

finish
