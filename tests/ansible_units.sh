#!/bin/bash
# The Ansible module's unit tests, run by plain pytest with the collection where Python
# looks for collections.
# Usage: ansible_units.sh
src=$(cd "$(dirname "$0")/.." && pwd)
py=/usr/bin/python3 # Debian's ansible-core is installed for the system's Python
if ! "$py" -c 'import ansible, pytest' 2>/dev/null; then
	echo "skipped: needs ansible-core and python3-pytest"
	exit 77
fi
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/ansible_collections/varnolt"
ln -s "$src/ansible" "$tree/ansible_collections/varnolt/printlist"
cd "$tree" || exit 1
PYTHONPATH=$tree PYTHONDONTWRITEBYTECODE=1 "$py" -m pytest -q -p no:cacheprovider "$src/ansible/tests/unit"
