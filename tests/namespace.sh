# Shared by the end-to-end tests: a private mount namespace with a scratch tmpfs over
# /usr/local, so the real binary works at its real path without touching the machine,
# and its syncs cost nothing; a test of what reaches the disk mounts a disk of its own.
# Source it with the built printlist as $1; it re-runs the sourcing script inside the
# namespace and leaves BIN, LIST, DIR and the check helpers behind.

if [ -z "${PRINTLIST_IN_NS:-}" ]; then
	if ! unshare --mount true 2>/dev/null; then
		echo "skipped: cannot make a mount namespace here (run as root)"
		exit 77
	fi
	PRINTLIST_IN_NS=1 exec unshare --mount --propagation private bash "$0" "$@"
fi
unset PRINTLIST_IN_NS # a test run from this one, as in a package build, makes its own

. "$(dirname "${BASH_SOURCE[0]}")/report.sh"

WORK=$(mktemp -d)
chmod 0755 "$WORK" # other users run the binary from here
trap 'umount /usr/local 2>/dev/null; rm -rf "$WORK"' EXIT
cp "$1" "$WORK/printlist"
BIN=$WORK/printlist
mount -t tmpfs -o mode=0755 tmpfs /usr/local
DIR=/usr/local/Varnolt/inf
LIST=$DIR/vnPrintList
mkdir -p "$DIR"
cd "$WORK" || exit 1

# Runs a command that runs printlist: true when it was silent and exited 0, in time
# (RUN_TIMEOUT seconds, 10 unless set).
run() {
	timeout "${RUN_TIMEOUT:-10}" "$@" >"$WORK/out" 2>"$WORK/err"
	status=$?
	[ $status -eq 0 ] && [ ! -s "$WORK/out" ] && [ ! -s "$WORK/err" ]
}

# Puts the list's bytes, a printf format, in place with an old modification time.
put_list() {
	rm -rf "$LIST"
	printf "$1" >"$LIST"
	touch -t 200001010000 "$LIST"
}

# True when the list holds exactly the bytes of the printf format given.
list_is() {
	[ -f "$LIST" ] && printf "$1" | cmp -s - "$LIST"
}

untouched() {
	[ "$(stat -c %Y "$LIST")" = "$(date -d 2000-01-01 +%s)" ]
}
