#!/bin/bash
# Installing: cmake --install puts the binary, the man page, the completions, the boot
# unit and the list's directory in place and leaves an existing list alone; the unit
# verifies and its ExecStart makes a torn list whole; the Debian package ships nothing
# under /usr/local, makes the directory and enables the unit when installed, leaves the
# list when removed, and lintian passes it.
# Usage: install.sh PRINTLIST BUILD_DIR SOURCE_DIR
if [ -n "${PRINTLIST_PACKAGE_BUILD:-}" ]; then
	echo "skipped: it builds the package, and this is that package's build"
	exit 77
fi
. "$(dirname "$0")/namespace.sh"
build=$2
source=$3

# cmake --install, into an empty root and then over an existing list
dest=$WORK/dest
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
[ -x $dest/usr/bin/printlist ] && [ -f $dest/usr/share/man/man1/printlist.1 ] &&
	[ -f $dest/usr/share/bash-completion/completions/printlist ] && [ -f $dest/usr/share/zsh/site-functions/_printlist ] &&
	[ -f $dest/usr/share/fish/vendor_completions.d/printlist.fish ] &&
	[ "$(stat -c %a $dest$DIR)" = 755 ] && [ "$(stat -c %a $dest$LIST.lock)" = 600 ] && pass ||
	fail "cmake --install: $(cd $dest && find . | tr '
' ' ')"
chmod 0750 $dest$DIR
chmod 0640 $dest$LIST.lock
printf 'lp1\n' >$dest$LIST
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
[ "$(stat -c %a $dest$DIR) $(stat -c %a $dest$LIST.lock)" = '750 640' ] && [ "$(cat $dest$LIST)" = lp1 ] && pass ||
	fail 'cmake --install touched the list or its lock file'
# Under any umask the directories come out 0755 and the lock file 0600, and 0600 from
# its first moment: an install stopped at any chmod of the lock file leaves none wider
for mask in 077 000; do
	masked=$WORK/umask$mask
	(umask $mask && DESTDIR=$masked strace -f -qq -o /dev/null -P $masked$LIST.lock -e trace=chmod,fchmod,fchmodat \
		-e inject=chmod,fchmod,fchmodat:signal=KILL cmake --install "$build" --component list-directory
		:) >/dev/null 2>&1
	modes=$(stat -c %a $masked/usr/local/Varnolt $masked$DIR $masked$LIST.lock 2>&1 | tr '\n' ' ')
	[ "$modes" = '755 755 600 ' ] && pass || fail "cmake --install under umask $mask made $modes"
done
# Where the build chose a static PIE, the installed binary is one, with full RELRO and a
# canary in the tool's own functions (C++ names, or main), not only in the C library's
bin=$dest/usr/bin/printlist
if [ "${PRINTLIST_STATIC_PIE:-0}" = 1 ]; then
	elf=$(readelf -hld "$bin")
	grep -q 'Type: *DYN' <<<"$elf" && ! grep -qE 'INTERP|NEEDED' <<<"$elf" && grep -q GNU_RELRO <<<"$elf" &&
		grep -q '(FLAGS) *BIND_NOW' <<<"$elf" && grep -q 'FLAGS_1.*NOW PIE' <<<"$elf" && pass ||
		fail "not a static PIE with full RELRO: $(file -b "$bin")"
	# and its RELRO pages are sealed once it runs, which musl's start-up leaves undone
	strace -qq -e trace=mprotect "$bin" 2>&1 | grep -q 'PROT_READ) = 0' && pass || fail 'the RELRO pages stay writable'
	objdump -d "$bin" | awk '/^[0-9a-f]+ </ { own = /<(_Z|main>)/ } own && /__stack_chk_fail/ { n++ } END { exit !n }' &&
		pass || fail 'no stack protector in the tool'\''s own functions'
else
	echo "skipped the hardening checks: the build is not a static PIE"
fi
DESTDIR=$WORK/bare cmake --install "$build" --prefix /usr --component printlist >/dev/null
[ ! -e $WORK/bare/usr/local ] && pass || fail 'the printlist component holds the list directory'

# The boot unit, installed as it is for real (into this namespace's /usr/local): it
# verifies, and its own ExecStart line puts back a removal killed at its truncation
cmake --install "$build" >/dev/null
unit=/usr/local/lib/systemd/system/printlist-recover.service
if ! command -v systemd-analyze >/dev/null; then
	echo "skipped verifying the unit: no systemd-analyze"
elif [ -f $unit ]; then
	verified=$(systemd-analyze verify $unit 2>&1) && [ -z "$verified" ] && pass || fail "systemd-analyze verify: $verified"
fi
read -ra exec_start <<<"$(sed -n 's/^ExecStart=//p' $unit 2>/dev/null)"
seq -f 'p%05g' 2000 >"$WORK/whole"
cp "$WORK/whole" "$LIST"
: >"$LIST.lock"
{ strace -f -qq -o /dev/null -e inject=ftruncate:signal=KILL:when=1 /usr/local/bin/printlist -e p00100; } 2>/dev/null
cmp -s "$WORK/whole" "$LIST" && fail 'the killed removal left the list whole: nothing was tested'
((${#exec_start[@]})) && run "${exec_start[@]}" && cmp -s "$WORK/whole" "$LIST" && [ ! -s "$LIST.lock" ] && pass ||
	fail "the unit's ExecStart ($(ls $unit 2>&1): ${exec_start[*]}) left the list torn"
rm -rf /usr/local/bin /usr/local/share /usr/local/lib "$LIST"

# The completion offers the listed names, one quoted word each, and nothing without a list
offered() { (. $dest/usr/share/bash-completion/completions/printlist
	COMP_WORDS=(printlist "$@") COMP_CWORD=$#
	_printlist && printf '%s\n' "${COMPREPLY[@]}") 2>&1; }
printf 'lp1\nmy printer\nlp2\n' >"$LIST"
[ "$(offered -e '')" = "$(printf '%s\n' lp1 'my\ printer' lp2)" ] && [ "$(offered -e 'my\ p')" = 'my\ printer' ] &&
	[ "$(offered -i '')" = '' ] && pass || fail "completion: $(offered -e '' | tr '\n' ' ')"
# zsh's and fish's, loaded from where they are installed, the way each shell finds
# them (fish only for a command on PATH); zsh's with compadd and _describe standing
# in for the completion system's
zsh_offered() { zsh -f -c 'fpath=($1 $fpath) && autoload -Uz _printlist
	_describe() { print -rl -- ${(P)4}; }; _wanted() { shift 3; "$@"; }; compadd() { print -rl -- ${(P)2}; }
	shift; words=(printlist "$@"); CURRENT=$#words; _printlist' _ $dest/usr/share/zsh/site-functions "$@" 2>&1; }
fish_offered() { PATH=$dest/usr/bin:$PATH XDG_DATA_DIRS=$dest/usr/share fish -c 'complete -C $argv[1]' "$1" 2>&1 | cut -f1; }
[ "$(zsh_offered -e '')" = "$(printf '%s\n' lp1 'my printer' lp2)" ] && [ "$(zsh_offered -e lp1 '')" = '' ] &&
	[ "$(zsh_offered '' | cut -d: -f1)" = "$(printf '%s\n' -i -e)" ] && [ "$(zsh_offered -i '')" = '' ] &&
	pass || fail "zsh completion: $(zsh_offered -e '' | tr '\n' ' ')"
[ "$(fish_offered 'printlist -e my')" = 'my printer' ] && [ "$(fish_offered 'printlist -efoo ' | wc -l)" = 3 ] &&
	[ "$(fish_offered 'printlist ')" = "$(printf '%s\n' -e -i)" ] && [ "$(fish_offered 'printlist -i ')" = '' ] &&
	[ "$(fish_offered 'printlist -e lp1 ')" = '' ] && pass || fail "fish completion: $(fish_offered 'printlist -e ' | tr '\n' ' ')"
# In a real bash, a name completed after no quote, a single or a double quote runs as
# that name: readline closes the quote, so what is offered must suit it
bash_ran() { local tmux="tmux -S $WORK/tmux -f /dev/null" form
	$tmux new-session -d -x 200 -y 10 'bash --norc --noprofile -i' || return
	$tmux send-keys -l ". $dest/usr/share/bash-completion/completions/printlist; printlist() { printf '<%s>\\n' \"\$2\" >>$WORK/ran; }" \; send-keys Enter
	for form; do $tmux send-keys -l "printlist -e $form" \; send-keys Tab Enter; done
	for _ in $(seq 50); do [ "$(cat $WORK/ran 2>/dev/null | wc -l)" -ge $# ] && break; sleep 0.1; done
	$tmux kill-server; cat $WORK/ran; }
printf 'lp1\nit'\''s "Hall A", $5\n' >"$LIST"
[ "$(bash_ran it "'it" '"it')" = "$(printf '<it'\''s "Hall A", $5>\n%.0s' 1 2 3)" ] && pass ||
	fail "completion in bash, as run: $(cat $WORK/ran)"
rm "$LIST"
[ "$(offered -e '')" = '' ] && [ "$(zsh_offered -e '')" = '' ] && [ "$(fish_offered 'printlist -e ')" = '' ] &&
	pass || fail "completion without a list: $(offered -e '') $(zsh_offered -e '') $(fish_offered 'printlist -e ')"

# The Debian package, built from a copy of the source tree
mkdir "$WORK/pkg"
tar -C "$source" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$WORK/pkg" -xf -
if ! (cd "$WORK/pkg" && dpkg-buildpackage -b -us -uc) >"$WORK/pkg.log" 2>&1; then
	grep -E "FAIL|skipped" "$WORK/pkg.log" | head -n 20
	fail 'dpkg-buildpackage failed'
	finish
	exit
fi
deb=$(echo "$WORK"/printlist_*.deb)
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for piece in ./usr/bin/printlist ./usr/share/man/man1/printlist.1.gz ./usr/share/doc/printlist/copyright \
	./usr/share/doc/printlist/changelog.gz ./usr/share/bash-completion/completions/printlist \
	./usr/share/zsh/vendor-completions/_printlist ./usr/share/fish/vendor_completions.d/printlist.fish; do
	grep -qxF "$piece" <<<"$contents" && pass || fail "the .deb lacks $piece"
done
grep -q '^\./usr/local' <<<"$contents" && fail 'the .deb ships /usr/local' || pass
grep -qE '^\./(usr/)?lib/systemd/system/printlist-recover\.service$' <<<"$contents" && pass ||
	fail 'the .deb lacks the boot unit'
dpkg-deb -x "$deb" "$WORK/unpacked"
[ "$(readelf -d "$WORK/unpacked/usr/bin/printlist" | awk '/NEEDED/ {print $NF}')" = '[libc.so.6]' ] &&
	pass || fail "the packaged binary needs $(readelf -d "$WORK/unpacked/usr/bin/printlist" | grep NEEDED)"
lintian --pedantic -I "$WORK"/printlist_*.changes >"$WORK/lintian" 2>&1
grep -qE '^[EW]:' "$WORK/lintian" && fail "lintian: $(grep -E '^[EW]:' "$WORK/lintian")" || pass

# dpkg -i into a scratch root (no libc6 package there, hence --force-depends): the postinst makes the directory, the installed
# printlist works at once, and removing and purging the package leave the list;
# with no list, removal takes the empty directories away, but not /usr/local
root=$WORK/root
mkdir -p $root/var/lib/dpkg/info $root/var/lib/dpkg/updates $root/usr/local
touch $root/var/lib/dpkg/status
pkg() { dpkg --root=$root --force-script-chrootless --force-depends --log=/dev/null "$@" >/dev/null 2>&1; }
pkg -i "$deb" || fail 'dpkg -i failed'
[ "$(stat -c '%a %U' $root$DIR)" = '755 root' ] && pass || fail "the postinst made $(stat -c '%a %U' $root$DIR)"
wants=$root/etc/systemd/system/sysinit.target.wants/printlist-recover.service
[ -L $wants ] && pass || fail 'the postinst did not enable the boot unit'
mount --bind $root/usr/local /usr/local
run $root/usr/bin/printlist -i lp1 && list_is 'lp1\n' && pass || fail 'the installed printlist did not add'
pkg -r printlist && pkg -P printlist
[ ! -e $root/usr/bin/printlist ] && list_is 'lp1\n' && pass || fail 'removing the package touched the list'
rm "$LIST"
pkg -i "$deb" && pkg -r printlist
[ ! -e $root/usr/local/Varnolt ] && [ -d $root/usr/local ] && pass || fail 'removal left the empty directories'
pkg -P printlist
[ ! -L $wants ] && pass || fail 'purging left the boot unit enabled'
umount /usr/local

# The man page renders without a warning
man --warnings -l "$build/printlist.1" 2>&1 >/dev/null | cmp -s /dev/null - && pass || fail 'man page warnings'

finish
