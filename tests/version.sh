#!/bin/bash
# The version is stated once, in CMake's project(); every other file that names it
# must agree: the Debian changelog, the RPM package's build file, the Ansible collection's galaxy.yml
# and its changelog when there is one, and the examples of the README and docs/.
# Usage: version.sh VERSION SOURCE_DIR
version=$1
cd "$2" || exit 1
failed=0
# agree WHAT FOUND...: each FOUND must be the version, and there must be one
agree() {
	local what=$1 found
	shift
	(($#)) || { echo "FAIL: $what names no version"; failed=1; }
	for found in $(printf '%s\n' "$@" | sort -u); do
		[ "$found" = "$version" ] || { echo "FAIL: $what says $found, project() says $version"; failed=1; }
	done
}

agree 'debian/changelog' "$(sed -n '1s/^printlist (\([^)]*\)).*/\1/p' debian/changelog)"
agree 'rpm/printlist.spec, Version:' $(sed -n 's/^Version:[[:space:]]*//p' rpm/printlist.spec)
agree 'rpm/printlist.spec, its latest %changelog entry' \
	"$(sed -n '/^%changelog/,$ s/^\* .* - \([^ -]*\)-[^ -]*$/\1/p' rpm/printlist.spec | head -n 1)"
if [ -f ansible/galaxy.yml ]; then
	agree 'ansible/galaxy.yml' $(sed -n 's/^version:[[:space:]]*["'\'']\{0,1\}\([^"'\'' ]*\).*/\1/p' ansible/galaxy.yml)
fi
if [ -f ansible/changelogs/changelog.yaml ]; then
	agree 'ansible/changelogs/changelog.yaml, its last release' \
		"$(sed -n 's/^  \([0-9][0-9.]*\):$/\1/p' ansible/changelogs/changelog.yaml | sort -V | tail -n 1)"
fi
agree 'README.md and docs/, their package names' \
	$(cat README.md docs/*.md | grep -oE 'printlist[_-][0-9]+(\.[0-9]+)+' | sed 's/^printlist[_-]//')
[ $failed -eq 0 ] && echo "every file names $version"
exit $failed
