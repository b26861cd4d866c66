#!/bin/bash
# Installing: cmake --install and the .deb put the binary, the man page and the
# list's directory in place, leave an existing list alone, and the man page is clean.
# Usage: install.sh PRINTLIST BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/namespace.sh"
build=$2
source=$3

# cmake --install, into an empty root and then over an existing list
dest=$WORK/dest
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
[ -x $dest/usr/bin/printlist ] && [ -f $dest/usr/share/man/man1/printlist.1 ] &&
	[ "$(stat -c %a $dest$DIR)" = 755 ] && pass || fail "cmake --install: $(cd $dest && find . | tr '\n' ' ')"
chmod 0750 $dest$DIR
printf 'lp1\n' >$dest$LIST
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
[ "$(stat -c %a $dest$DIR)" = 750 ] && [ "$(cat $dest$LIST)" = lp1 ] && pass || fail 'cmake --install touched the list'

# The .deb holds the three pieces
cpack -G DEB -B "$WORK/pkg" --config "$build/CPackConfig.cmake" >/dev/null
deb=$(echo "$WORK"/pkg/printlist_*.deb)
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for piece in ./usr/bin/printlist ./usr/share/man/man1/printlist.1 ./usr/local/Varnolt/inf/; do
	grep -qxF "$piece" <<<"$contents" && pass || fail "the .deb lacks $piece"
done

# dpkg -i into a scratch root: the installed printlist works at once; removing the
# package leaves the list
root=$WORK/root
mkdir -p $root/var/lib/dpkg/info $root/var/lib/dpkg/updates
touch $root/var/lib/dpkg/status
dpkg --root=$root -i "$deb" >/dev/null || fail 'dpkg -i failed'
mount --bind $root/usr/local /usr/local
run $root/usr/bin/printlist -i lp1 && list_is 'lp1\n' && pass || fail 'the installed printlist did not add'
dpkg --root=$root -r printlist >/dev/null 2>&1
[ ! -e $root/usr/bin/printlist ] && list_is 'lp1\n' && pass || fail 'removing the package touched the list'
umount /usr/local

# The man page renders without a warning
man --warnings -l "$source/man/printlist.1" 2>&1 >/dev/null | cmp -s /dev/null - && pass || fail 'man page warnings'

finish
