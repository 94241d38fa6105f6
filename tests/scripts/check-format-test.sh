#!/usr/bin/env bash
# Runs scripts/check-format in a scratch repository that has the project's
# .clang-format: a branch off main with formatted and badly formatted files,
# committed, uncommitted and untracked, checked the way a developer runs it
# (changes since the merge-base with main) and the way CI runs it (every
# tracked file).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
script=$root/scripts/check-format
if ! command -v "${CLANG_FORMAT:-clang-format}" >/dev/null 2>&1; then
  echo "SKIP: clang-format is not installed"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passed=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { passed=$((passed + 1)); }

export GIT_AUTHOR_NAME=t GIT_AUTHOR_EMAIL=t@example.invalid GIT_COMMITTER_NAME=t GIT_COMMITTER_EMAIL=t@example.invalid
repo=$work/repo
git init -q -b main "$repo"
cp "$root/.clang-format" "$repo/"
cd "$repo"
formatted='int add(int a, int b)
{
    return a + b;
}
'
badly='int   add( int a,int b ) { return a+b; }
'
printf '%s' "$formatted" >good.cpp
printf '%s' "$badly" >legacy.cpp # bad, but already on main
git add -A && git commit -q -m base
git checkout -q -b topic

check() { env -u CI "$script" "$@" >"$work/out" 2>&1; }
checkCI() { CI=true "$script" >"$work/out" 2>&1; }

# 1. A formatted change passes; the bad file main already had is not ours to fix.
printf '%s' "$formatted" >new.h
git add new.h && git commit -q -m formatted
check; rc=$?
[ "$rc" -eq 0 ] && ok || fail "formatted change: exit $rc: $(cat "$work/out")"

# 2. CI checks every tracked file and so finds the old one, names it, says how to fix.
checkCI; rc=$?
if [ "$rc" -eq 1 ] && grep -q 'legacy.cpp' "$work/out" && grep -q 'make format' "$work/out" \
  && ! grep -q 'good.cpp' "$work/out"; then ok; else fail "CI run: exit $rc: $(cat "$work/out")"; fi

# 3. A committed, badly formatted change fails and is named.
printf '%s' "$badly" >added.cpp
git add added.cpp && git commit -q -m bad
check; rc=$?
if [ "$rc" -eq 1 ] && grep -q 'added.cpp' "$work/out" && ! grep -q 'legacy.cpp' "$work/out"; then ok
else fail "committed bad change: exit $rc: $(cat "$work/out")"; fi
printf '%s' "$formatted" >added.cpp
git commit -q -am fixed

# 4. An uncommitted edit that breaks a tracked file is found.
printf '%s' "$badly" >good.cpp
check; rc=$?
if [ "$rc" -eq 1 ] && grep -q 'good.cpp' "$work/out"; then ok; else fail "uncommitted edit: exit $rc: $(cat "$work/out")"; fi
git checkout -q good.cpp

# 5. So is a new file git does not track yet.
printf '%s' "$badly" >untracked.h
check; rc=$?
if [ "$rc" -eq 1 ] && grep -q 'untracked.h' "$work/out"; then ok; else fail "untracked file: exit $rc: $(cat "$work/out")"; fi
rm untracked.h

# 6. Files named on the command line, and a missing clang-format is an error, not a pass.
check good.cpp; rc=$?
[ "$rc" -eq 0 ] && ok || fail "named formatted file: exit $rc: $(cat "$work/out")"
CLANG_FORMAT=$work/no-such-clang-format check; rc=$?
[ "$rc" -eq 2 ] && ok || fail "missing clang-format: exit $rc: $(cat "$work/out")"

echo "check-format: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
