#!/bin/bash
# The Ansible collection end to end: ansible-playbook drives three hosts over ssh, each
# an sshd on its own loopback address inside its own mount namespace, with its own
# /usr/local holding the built printlist and the list.
# Usage: fleet.sh PRINTLIST
BIN=$1
SRC=$(cd "$(dirname "$0")/.." && pwd)

skip() {
	echo "skipped: $*"
	exit 77
}
# A package build is no place for sshd and ssh to this machine, and its deep build
# directory is too long for ssh's control path.
[ -z "${PRINTLIST_PACKAGE_BUILD:-}" ] || skip "it starts sshd, and this is a package build"
[ "$(id -u)" = 0 ] || skip 'needs root'
for cmd in /usr/sbin/sshd ssh ssh-keygen ansible-playbook ansible-galaxy ansible-doc unshare sudo dpkg-deb; do
	command -v $cmd >/dev/null || skip "$cmd is not installed"
done
id sshd >/dev/null 2>&1 || skip 'no sshd user for privilege separation'
/usr/bin/python3 -c 'import apt' 2>/dev/null || skip 'python3-apt is not installed (the guide installs a package)'
unshare --mount true 2>/dev/null || skip 'cannot make a mount namespace here'

WORK=$(mktemp -d /tmp/fleet.XXXXXX)
chmod 0755 "$WORK"
PORT=$((20000 + RANDOM % 20000))
HOSTS=(h1 h2 h3)
declare -A ADDR=([h1]=127.0.0.101 [h2]=127.0.0.102 [h3]=127.0.0.103)
SSHD=()
made_run_sshd=
# Every sshd, and every session it started, by pid: a session outlives its sshd.
cleanup() {
	local pid child
	for pid in "${SSHD[@]}"; do
		for child in $(pgrep -P "$pid"); do
			pkill -TERM -P "$child" 2>/dev/null
			kill "$child" 2>/dev/null
		done
		kill "$pid" 2>/dev/null
	done
	for pid in "${SSHD[@]}"; do
		timeout 5 tail --pid="$pid" -f /dev/null
	done
	[ -n "$made_run_sshd" ] && rmdir /run/sshd
	rm -rf "$WORK"
}
trap cleanup EXIT

. "$SRC/tests/report.sh"

# The hosts: h1 has a list, h2 none yet, h3 neither printlist nor the list's directory.
# Each has a throwaway copy of this machine's /etc, /usr and /var, for the packages
# the guide installs, and a user deploy who may become root with sudo.
for h in "${HOSTS[@]}"; do
	mkdir -p "$WORK/$h/local/bin" "$WORK/$h/local/Varnolt" "$WORK/$h/scratch"
done
mkdir -m 0700 "$WORK/deploy" && chown 4242:4242 "$WORK/deploy"
cp "$BIN" "$WORK/h1/local/bin/printlist"
cp "$BIN" "$WORK/h2/local/bin/printlist"
mkdir "$WORK/h1/local/Varnolt/inf" "$WORK/h2/local/Varnolt/inf"
printf 'lp0\n' >"$WORK/h1/local/Varnolt/inf/vnPrintList"
touch -t 200001010000 "$WORK/h1/local/Varnolt/inf/vnPrintList"

ssh-keygen -q -t ed25519 -N '' -f "$WORK/key" && ssh-keygen -q -t ed25519 -N '' -f "$WORK/hostkey" ||
	skip 'ssh-keygen failed'
[ -d /run/sshd ] || { mkdir -m 0755 /run/sshd && made_run_sshd=1; }
for h in "${HOSTS[@]}"; do
	cat >"$WORK/$h/sshd_config" <<-EOF
		ListenAddress ${ADDR[$h]}:$PORT
		HostKey $WORK/hostkey
		PidFile none
		AuthorizedKeysFile $WORK/key.pub
		StrictModes no
		UsePAM no
		PermitRootLogin prohibit-password
		PasswordAuthentication no
		KbdInteractiveAuthentication no
		Subsystem sftp internal-sftp
		LogLevel ERROR
	EOF
	# unshare and sh exec, so the pid is the sshd's
	unshare --mount --propagation private sh -ec 'for top in etc usr var; do
			mkdir "$3/$top" "$3/$top.work"
			mount -t overlay overlay -o lowerdir=/$top,upperdir="$3/$top",workdir="$3/$top.work" /$top
		done
		mount --bind "$1" /usr/local
		echo "deploy:x:4242:4242::$4:/bin/sh" >>/etc/passwd
		echo "deploy:*:20000:0:99999:7:::" >>/etc/shadow
		echo "deploy ALL=(ALL) NOPASSWD: ALL" >/etc/sudoers.d/fleet-test
		exec /usr/sbin/sshd -D -e -f "$2"' \
		sh "$WORK/$h/local" "$WORK/$h/sshd_config" "$WORK/$h/scratch" "$WORK/deploy" 2>"$WORK/$h/sshd.log" &
	SSHD+=($!)
done
for i in "${!HOSTS[@]}"; do
	h=${HOSTS[$i]}
	for _ in $(seq 100); do
		kill -0 "${SSHD[$i]}" 2>/dev/null || break
		(exec 3<>"/dev/tcp/${ADDR[$h]}/$PORT") 2>/dev/null && continue 2
		sleep 0.1
	done
	skip "the sshd of $h did not start: $(cat "$WORK/$h/sshd.log")"
done

# Ansible, kept to this folder: its own configuration, home, and the collection as built.
cat >"$WORK/hosts" <<EOF
[fleet]
h1 ansible_host=${ADDR[h1]}
h2 ansible_host=${ADDR[h2]}
h3 ansible_host=${ADDR[h3]}

[printservers:children]
fleet

[fleet:vars]
ansible_port=$PORT
ansible_user=root
ansible_ssh_private_key_file=$WORK/key
ansible_python_interpreter=/usr/bin/python3
ansible_remote_tmp=$WORK/remote-tmp
EOF
cat >"$WORK/ansible.cfg" <<EOF
[defaults]
inventory = $WORK/hosts
host_key_checking = False
retry_files_enabled = False
nocolor = True
local_tmp = $WORK/local-tmp

[ssh_connection]
ssh_args = -F /dev/null -o ControlMaster=no -o ControlPersist=no -o UserKnownHostsFile=/dev/null -o StrictHostKeyChecking=no -o IdentitiesOnly=yes -o BatchMode=yes -o ConnectTimeout=10
pipelining = True
EOF
export ANSIBLE_CONFIG=$WORK/ansible.cfg ANSIBLE_HOME=$WORK/home ANSIBLE_COLLECTIONS_PATH=$WORK/collections
export ANSIBLE_STDOUT_CALLBACK=default ANSIBLE_FORCE_COLOR=0
(cd "$WORK" && timeout 60 ansible-galaxy collection build "$SRC/ansible" >build.log 2>&1 &&
	timeout 60 ansible-galaxy collection install --offline -p "$WORK/collections" varnolt-printlist-*.tar.gz >>build.log 2>&1) ||
	{ fail "the collection does not build and install: $(cat "$WORK/build.log")"; exit 1; }
# (the JSON, as the text's header differs between ansible-core versions)
timeout 60 ansible-doc -j varnolt.printlist.printlist 2>&1 | /usr/bin/python3 -c '
import json, sys
sys.exit(json.load(sys.stdin)["varnolt.printlist.printlist"]["doc"]["module"] != "printlist")' && pass ||
	fail "ansible-doc does not show the module: $(ansible-doc -j varnolt.printlist.printlist 2>&1 | head -c 300)"

cat >"$WORK/play.yml" <<'EOF'
- hosts: fleet
  gather_facts: false
  tasks:
    - name: The print list
      varnolt.printlist.printlist:
        name: "{{ names }}"
        state: "{{ state }}"
        exclusive: "{{ exclusive | default(false) }}"
EOF

# Runs the playbook with the names and state given (and more options), and prints its
# recap; what it printed is left in out.
play() {
	local state=$1 what=$2
	shift 2
	echo "== $what"
	timeout 90 ansible-playbook "$WORK/play.yml" -e "{\"names\": [\"lp1\", \"a,b\"], \"state\": \"$state\"}" "$@" >"$WORK/out" 2>&1
	sed -n '/^PLAY RECAP/,$p' "$WORK/out"
}
# recap HOST 'ok=N changed=N failed=N'
recap() {
	local got
	got=$(awk -v h="$1" '/^PLAY RECAP/ { r = 1 } r && $1 == h { print $3, $4, $6 }' "$WORK/out")
	[ "$got" = "$2" ] && pass || fail "$what: $1 recap '$got', not '$2'"
}
recap_all() {
	for h in "${HOSTS[@]}"; do recap $h "$1"; done
}
list_is() {
	local list=$WORK/$1/local/Varnolt/inf/vnPrintList
	if [ "$2" = - ]; then
		[ ! -e "$list" ] && pass || fail "$what: $1 has a list"
	else
		[ -f "$list" ] && printf "$2" | cmp -s - "$list" && pass || fail "$what: $1's list is $(od -An -c "$list" 2>&1)"
	fi
}
said() {
	grep -qE "$1" "$WORK/out" && pass || fail "$what: the output does not say /$1/: $(cat "$WORK/out")"
}
h3_fails() {
	recap h3 'ok=0 changed=0 failed=1'
	said 'fatal: \[h3\]: FAILED!.*"msg": "printlist is not installed'
}

# h3, on which printlist is not installed yet, is predicted from no list, with a warning
what='check mode, adding'
play present "$what" --check --diff
recap h1 'ok=1 changed=1 failed=0'
recap h2 'ok=1 changed=1 failed=0'
recap h3 'ok=1 changed=1 failed=0'
said 'WARNING\]: printlist is not installed'
[ "$(grep -c '^+a,b$' "$WORK/out")" = 3 ] && [ "$(grep -c '^+lp1$' "$WORK/out")" = 3 ] && pass ||
	fail "$what: no diff adding both names on each host: $(cat "$WORK/out")"
said '^ lp0$'
list_is h1 'lp0\n'
[ "$(stat -c %Y "$WORK/h1/local/Varnolt/inf/vnPrintList")" = "$(date -d 2000-01-01 +%s)" ] && pass ||
	fail "$what: h1's list was written"
list_is h2 -

what='adding'
play present "$what"
recap h1 'ok=1 changed=1 failed=0'
recap h2 'ok=1 changed=1 failed=0'
h3_fails
list_is h1 'lp0\nlp1\na,b\n'
list_is h2 'lp1\na,b\n'

what='adding again'
play present "$what" --diff
recap h1 'ok=1 changed=0 failed=0'
recap h2 'ok=1 changed=0 failed=0'
h3_fails
list_is h1 'lp0\nlp1\na,b\n'

what='exclusive'
play present "$what" -e '{"exclusive": true}'
recap h1 'ok=1 changed=1 failed=0'
recap h2 'ok=1 changed=0 failed=0'
h3_fails
list_is h1 'lp1\na,b\n'
list_is h2 'lp1\na,b\n'

# An empty name list would empty every list: refused, with the lines the list holds
what='exclusive, with no names'
play present "$what" -e '{"exclusive": true, "names": []}'
recap_all 'ok=0 changed=0 failed=1'
said 'fatal: \[h1\]: FAILED!.*"msg": "exclusive with no names would take every name off the list.*"names": \["lp1", "a,b"\]'
list_is h1 'lp1\na,b\n'

# Where nothing is listed, nothing is to remove, and printlist is not needed: h3 is ok
what='check mode, removing'
play absent "$what" --check --diff
recap h1 'ok=1 changed=1 failed=0'
recap h2 'ok=1 changed=1 failed=0'
recap h3 'ok=1 changed=0 failed=0'
said '^\+\+\+ after: /usr/local/Varnolt/inf/vnPrintList \(no file\)$'
list_is h2 'lp1\na,b\n'

what='removing'
play absent "$what" -v
recap h1 'ok=1 changed=1 failed=0'
recap h2 'ok=1 changed=1 failed=0'
recap h3 'ok=1 changed=0 failed=0'
said '^ok: \[h3\] => .*"msg": "nothing to remove: there is no list, and so no need of printlist'
list_is h1 -
list_is h2 -

# The guide's play, as a newcomer runs it: a dry run with the package not yet beside the
# playbook, then with it (a stand-in of the binary under test), for real, and dry again
mkdir -p "$WORK/guide" "$WORK/deb/DEBIAN" "$WORK/deb/usr/bin"
awk '/^```yaml/ { n++; on = n == 1; next } /^```/ { on = 0 } on' "$SRC/README.md" >"$WORK/guide/site.yml"
deb=$(sed -n 's/^ *src: \(printlist_[^ ]*\.deb\).*/\1/p' "$WORK/guide/site.yml")
guide() {
	what=$1 && shift && echo "== $what"
	(cd "$WORK/guide" && timeout 300 ansible-playbook site.yml "$@" >"$WORK/out" 2>&1)
	sed -n '/^PLAY RECAP/,$p' "$WORK/out"
}
guide 'the guide, a dry run without the package' --check --diff
recap_all 'ok=1 changed=0 failed=1'
said "Could not find or access '$deb'"
cp "$BIN" "$WORK/deb/usr/bin/printlist"
printf 'Package: printlist\nVersion: %s\nArchitecture: %s\nMaintainer: none\nDescription: printlist\n' \
	"$(cut -d_ -f2 <<<"$deb")" "$(dpkg --print-architecture)" >"$WORK/deb/DEBIAN/control"
install -m 0755 <(printf '#!/bin/sh\nmkdir -p /usr/local/Varnolt/inf\n') "$WORK/deb/DEBIAN/postinst"
dpkg-deb --root-owner-group -b "$WORK/deb" "$WORK/guide/$deb" >/dev/null
guide 'the guide, a dry run' --check --diff
recap_all 'ok=3 changed=2 failed=0'
[ "$(grep -c '^+Hall A, floor 2$' "$WORK/out")" = 3 ] && pass || fail "$what: no diff on each host: $(cat "$WORK/out")"
guide 'the guide'
recap_all 'ok=4 changed=3 failed=0'
list_is h3 'lp1\nHall A, floor 2\n'
guide 'the guide, a dry run again' --check --diff
recap_all 'ok=4 changed=0 failed=0'

# The module's EXAMPLES, as a user who becomes root, then as root: each run adds lp2 or
# the name with a comma, and the exclusive task takes the other off
timeout 60 ansible-doc -j varnolt.printlist.printlist | /usr/bin/python3 -c 'import json, sys
print("- hosts: fleet\n  gather_facts: false\n  tasks:\n" + "".join("    %s\n" % line for line in
      json.load(sys.stdin)["varnolt.printlist.printlist"]["examples"].strip("\n").splitlines()))' >"$WORK/examples.yml"
for who in deploy root; do
	what="the EXAMPLES, as $who" && echo "== $what"
	timeout 120 ansible-playbook "$WORK/examples.yml" -e ansible_user=$who -e ansible_remote_tmp=/tmp >"$WORK/out" 2>&1
	sed -n '/^PLAY RECAP/,$p' "$WORK/out"
	recap_all "ok=$(grep -c '^    - name:' "$WORK/examples.yml") changed=2 failed=0"
	list_is h3 'lp1\nlp2\n'
	said '"msg": "removed 1 name; the copy: /usr/local/Varnolt/inf/vnPrintList\.[0-9]+\.'
done

finish
