#!/bin/bash
# printlist end to end: the command line, adding, removing and matching, and the
# ways a list can be unusual, each checked on the list's bytes.
# Usage: cli.sh PRINTLIST
. "$(dirname "$0")/namespace.sh"

L70K=$(head -c 70000 /dev/zero | tr '\0' l)
N49=$(printf '%049d' 7)
MANY=$(seq -f 'n%g\n' 2000 | tr -d '\n')
MANY_BUT_1500=$(seq -f 'n%g\n' 2000 | grep -vxF 'n1500\n' | tr -d '\n')

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

# Adding
t 'add to no list'                    -             '-i lp1'  'lp1\n'
t 'add to an empty file'              ''            '-i lp1'  'lp1\n'
t 'add appends'                       'a\nb\n'      '-i c'    'a\nb\nc\n'
t 'add ends an open last line'        'a\nb'        '-i c'    'a\nb\nc\n'
t 'add of a listed name'              'a\nlp1\nb\n' '-i lp1'  =
t 'add of an open last line'          'a\nlp1'      '-i lp1'  =
t 'add of a listed name, twice there' 'x\nx\n'      '-i x'    =
t 'add is case-sensitive'             'LP1\n'       '-i lp1'  'LP1\nlp1\n'
t 'a carriage return is part of a line' 'lp1\r\n'   '-i lp1'  'lp1\r\nlp1\n'
t 'a blank is part of a line'         'lp1 \n'      '-i lp1'  'lp1 \nlp1\n'
t 'part of a line is no match'        'a\nxlp1\nlp1x\n' '-i lp1' 'a\nxlp1\nlp1x\nlp1\n'
t 'add of an empty name'              'a\n'         '-i ""'   'a\n\n'
t 'add of an empty name, listed'      'a\n\nb\n'    '-i ""'   =
t 'a 49-byte name'                    'a\n'         "-i $N49" "a\n$N49\n"

# Removing
t 'remove from no list'               -             '-e lp1'  =
t 'remove from an empty file'         ''            '-e lp1'  =
t 'remove of an unlisted name'        'a\nb\n'      '-e c'    =
t 'remove takes every equal line'     'a\nX\nb\nX\n' '-e X'   'a\nb\n'
t 'remove is case-sensitive'          'x\nX\n'      '-e X'    'x\n'
t 'remove ends an open last line'     'X\na'        '-e X'    'a\n'
t 'remove of an open last line'       'a\nX'        '-e X'    'a\n'
t 'remove of the only line'           'X\n'         '-e X'    -
t 'remove of every line'              'X\nX'        '-e X'    -
t 'remove of an empty name'           '\na\n\n'     '-e ""'   'a\n'
t 'remove of the empty lines only'    '\n\n'        '-e ""'   -

# Lines and lists of any length, any bytes
t 'a 70,000-byte line is listed'      "$L70K\nb\n"  "-i $L70K" =
t 'a 70,000-byte line is removed'     "a\n$L70K\nb\n" "-e $L70K" 'a\nb\n'
t 'a 70,000-byte name is added'       -             "-i $L70K" "$L70K\n"
t 'a 70,000-byte line survives'       "$L70K\nX\n"  '-e X'    "$L70K\n"
t 'line 2,000 is listed'              "$MANY"       '-i n2000' =
t 'line 1,500 is removed'             "$MANY"       '-e n1500' "$MANY_BUT_1500"
t 'an add keeps 2,000 lines'          "$MANY"       '-i new'  "${MANY}new\n"
t 'a zero byte is kept'               'a\000b\nX\n' '-e X'    'a\000b\n'
t 'any byte is kept'                  '\377\001\t\n' '-i X'   '\377\001\t\nX\n'
t 'a name with high bytes'            'a\n\351\n'   "-e $'\351'" 'a\n'

# A name holding a line feed would be two lines: it changes nothing
t 'add of a name with a line feed'    'a\n'         "-i $'x\ny'" =
t 'remove of a name with a line feed' 'a\nb\n'      "-e $'a\nb'" =
t 'add of a line feed, no list'       -             "-i $'\n'"   =

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
