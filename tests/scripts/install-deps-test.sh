#!/usr/bin/env bash
# Runs scripts/install-deps against stand-ins for dpkg-query, apt-get and
# debconf-set-selections, so its exit path is checked without touching the
# machine's packages: with a policy-rc.d already in place (every Debian
# container image has one) it must succeed and leave the file alone; without
# one it must make it for the install, remove it after, and still succeed; a
# failed install must fail the script and still remove what it made.
set -uo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-deps
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

bin=$work/bin
mkdir -p "$bin"
# Every package reads as missing, so the script always goes down the install path.
printf '#!/bin/sh\nexit 1\n' >"$bin/dpkg-query"
cat >"$bin/apt-get" <<'STUB'
#!/bin/sh
# Records whether the policy file refused service starts while packages went in.
if [ "$1" = install ] || [ "$2" = install ] || echo "$*" | grep -q ' install '; then
  if [ -x "$KEL_POLICY_RC_D" ] && ! "$KEL_POLICY_RC_D"; then echo refused >"$APT_LOG"; else echo open >"$APT_LOG"; fi
  exit "${APT_STATUS:-0}"
fi
exit 0
STUB
printf '#!/bin/sh\ncat >/dev/null\n' >"$bin/debconf-set-selections"
printf '#!/bin/sh\necho 0\n' >"$bin/id"
chmod +x "$bin"/*

run() { PATH="$bin:$PATH" KEL_POLICY_RC_D="$work/policy-rc.d" APT_LOG="$work/apt.log" "$script" >"$work/out" 2>&1; }

# 1. A policy file that was there before: success, and the file is untouched.
printf '#!/bin/sh\nexit 101\n' >"$work/policy-rc.d"
chmod 755 "$work/policy-rc.d"
before=$(cat "$work/policy-rc.d")
run; rc=$?
[ "$rc" -eq 0 ] || fail "existing policy file: exit $rc: $(cat "$work/out")"
[ -f "$work/policy-rc.d" ] && [ "$(cat "$work/policy-rc.d")" = "$before" ] || fail "existing policy file was changed or removed"
rm -f "$work/policy-rc.d"

# 2. No policy file: one refuses starts during the install and is gone after.
run; rc=$?
[ "$rc" -eq 0 ] || fail "no policy file: exit $rc: $(cat "$work/out")"
[ "$(cat "$work/apt.log" 2>/dev/null)" = refused ] || fail "services were not refused during the install"
[ ! -e "$work/policy-rc.d" ] || fail "the policy file made for the install was left behind"

# 3. A failed install fails the script and still removes the policy file.
APT_STATUS=100 run; rc=$?
[ "$rc" -ne 0 ] || fail "a failed apt-get install was reported as success"
[ ! -e "$work/policy-rc.d" ] || fail "the policy file was left behind after a failed install"

echo "install-deps exit path: $((3 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
