# Shared by the end-to-end tests: count what passed and what failed, and say so last.
passed=0
failed=0

pass() { passed=$((passed + 1)); }
fail() {
	failed=$((failed + 1))
	echo "FAIL: $*"
}

finish() {
	echo "$passed passed, $failed failed"
	[ $failed -eq 0 ]
}
