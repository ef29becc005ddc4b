#!/bin/sh
# The two commands at the top of README.md, as written there, in a fresh
# clone of the source's committed tree: the first must build the programs
# and run the demo; the second's set-up must answer in dry-run mode (it
# installs nothing here) and the command must run the whole suite so that a
# missing GoogleTest fails it. CTest runs this with the source folder.
# Exits 77 (a skip) where git is missing or the source is not a git checkout.
set -eu
source_dir=$1

skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "readme_test: $*" >&2
    exit 1
}

command -v git >/dev/null 2>&1 || skip "git is not installed (scripts/setup installs it)"
git -C "$source_dir" rev-parse --verify -q HEAD >/dev/null || skip "$source_dir is not a git checkout"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
clone=$work/kvx
git clone -q "$source_dir" "$clone"
cd "$clone"

first=$(scripts/readme-command 1)
second=$(scripts/readme-command 2)

# With ccache where there is one, so that a second run is quick; the
# command itself is as written.
if command -v ccache >/dev/null 2>&1; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR="$clone" CCACHE_NOHASHDIR=true
fi

echo "\$ $first"
sh -c "$first" >"$work/first.log" 2>&1 || { cat "$work/first.log"; fail "the first command failed"; }
# The demo converted the cube with every converter and dumped each file.
for file in cube-v1 cube-v2 cube-v3 cube-v4 cube-points cube-wire; do
    [ -s "build/examples/$file.kvx" ] || { cat "$work/first.log"; fail "the demo wrote no $file.kvx"; }
done
dumps=$(grep -c '^\$ .*/kvxdump ' "$work/first.log" || true)
[ "$dumps" -eq 6 ] || fail "the demo printed $dumps dumps, not 6"
echo "the first command built the programs and ran the demo"

echo "\$ $second"
case $second in
    scripts/setup" && "*) ;;
    *) fail "the second command does not begin with the set-up: $second" ;;
esac
case $second in
    *"ctest "*"--no-tests=error"*) ;;
    *) fail "the second command's ctest does not fail without tests: $second" ;;
esac
dry=$(scripts/setup --dry-run) || fail "scripts/setup --dry-run failed"
printf '%s\n' "$dry"
# A fresh clone has no web/node_modules, whatever this machine has.
printf '%s\n' "$dry" | grep -qx "setup: would run: npm ci in web/" ||
    fail "scripts/setup --dry-run does not plan npm ci in a fresh clone"
printf '%s\n' "$dry" | grep -Eqx "setup: (would install: .+|every Debian package is installed)" ||
    fail "scripts/setup --dry-run does not say what it would install"
[ ! -e web/node_modules ] || fail "scripts/setup --dry-run changed web/"
echo "the set-up of the second command answers in dry-run mode"

# scripts/skipped: the reasons of a ctest JUnit report, in its order.
mkdir "$work/report"
cat >"$work/report/tests.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="t" tests="4" failures="0" disabled="0" skipped="2">
	<testcase name="Parse.Exhaustive" classname="x" time="0" status="notrun">
		<skipped message="Skip regular expression found in output."/>
		<system-out>[ RUN      ] Parse.Exhaustive
cmsh_test.cpp:225: Skipped
set KVX_EXHAUSTIVE=1 to run
[  SKIPPED ] Parse.Exhaustive (0 ms)
</system-out>
	</testcase>
	<testcase name="web_browser" classname="web_browser" time="0" status="notrun">
		<skipped message="SKIP_RETURN_CODE=77"/>
		<system-out>SKIPPED: no Chromium at /usr/bin/chromium
</system-out>
	</testcase>
	<testcase name="python_batch" classname="python_batch" time="1" status="run">
		<system-out>SKIPPED [1] python/tests/test_batch.py:91: could not import 'distributed'
1 passed, 1 skipped
</system-out>
	</testcase>
	<testcase name="Plain.Passes" classname="x" time="0" status="run">
		<system-out>hi
</system-out>
	</testcase>
</testsuite>
XML
expected='Skipped (3):
  Parse.Exhaustive: set KVX_EXHAUSTIVE=1 to run
  web_browser: no Chromium at /usr/bin/chromium
  python_batch, a case: python/tests/test_batch.py:91: could not import '"'distributed'"
[ "$(scripts/skipped "$work/report")" = "$expected" ] ||
    fail "scripts/skipped gave: $(scripts/skipped "$work/report")"
sed -i '/Parse.Exhaustive/s/status="notrun"/status="run"/; s/SKIPPED \[1\].*//' "$work/report/tests.xml"
[ "$(scripts/skipped "$work/report")" = "Skipped (1):
  web_browser: no Chromium at /usr/bin/chromium" ] || fail "scripts/skipped lists a test that ran"

# scripts/readme-command: the first sh block only, comments and blank lines
# left out, a trailing backslash continuing the line.
printf '%s\n' '# t' '```sh' '# a comment' '' 'one \' '  two' 'three' '```' '```sh' 'four' '```' \
    >"$work/README.md"
[ "$(scripts/readme-command 1 "$work/README.md")" = "one   two" ] || fail "readme-command 1 is wrong"
[ "$(scripts/readme-command 2 "$work/README.md")" = "three" ] || fail "readme-command 2 is wrong"
scripts/readme-command 3 "$work/README.md" 2>/dev/null && fail "readme-command 3 found a command"
echo "scripts/skipped and scripts/readme-command read what they are given"
