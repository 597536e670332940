#!/usr/bin/env bash
# Checks what a user installs. The Debian package (scripts/package.sh), unpacked into a temporary
# root: its fields, its exact file list, lintian without errors. `cmake --install` of a plain
# build with DESTDIR (build-release/, KEYMEND_RELEASE_BUILD_DIR; configured and built when
# missing): its exact file list. In both the installed keymend must print the manual and its
# version, and the manual pages must format without a warning. Ends with "N passed, N failed";
# the exit code is non-zero when a check failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

fail() { echo "check-install: $*" >&2; exit 1; }

deb=$(scripts/package.sh | tail -1) || fail "building the package failed"
version=$(sed -n 's/^project(keymend VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in CMakeLists.txt"
plainbuild=${KEYMEND_RELEASE_BUILD_DIR:-build-release}
if [ ! -f "$plainbuild/CMakeCache.txt" ]; then
  cmake -S . -B "$plainbuild" -DCMAKE_BUILD_TYPE=Release -DKEYMEND_WERROR=ON >/dev/null ||
    fail "configuring $plainbuild failed"
fi
cmake --build "$plainbuild" --target keymend -j"$(nproc 2>/dev/null || echo 2)" >/dev/null ||
  fail "building keymend in $plainbuild failed"

work=$(mktemp -d "${TMPDIR:-/tmp}/keymend-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
check() {  # check NAME COMMAND...: the command's success is the check's
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $name"; fi
}
same() { [ "$1" = "$2" ] || { echo "  got:      $1"; echo "  expected: $2"; return 1; }; }

# The files under a root, one path a line, sorted.
files_under() { (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort); }
# The installed keymend prints the English manual and its version, exit code 0.
runs() {  # runs BINARY
  local out
  out=$(LANG=C "$1" -help; echo "exit $?")
  same "$out" "$(cat tests/data/cli/help_en.txt; echo "exit 0")" || return 1
  out=$(LANG=C "$1" -version; echo "exit $?")
  same "$out" "$(printf 'keymend %s (Linux %s)\nexit 0' "$version" "$(uname -m)")"
}
# man formats the page with no warning (what lintian checks too).
man_is_clean() {  # man_is_clean PAGE
  local warnings
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$1" 2>&1 >/dev/null)
  same "$warnings" ""
}

# --- The Debian package ----------------------------------------------------------------------
echo "check-install: $deb"
field() { dpkg-deb -f "$deb" "$1"; }
check "package name" same "$(field Package)" keymend
check "package version" same "$(field Version)" "$version-1"
check "package architecture" same "$(field Architecture)" "$(dpkg --print-architecture)"
check "package section" same "$(field Section)" utils
check "package priority" same "$(field Priority)" optional
check "package maintainer" test -n "$(field Maintainer)"
check "the package needs the C library only" same "$(field Depends | sed 's/ (.*//')" libc6
deb_root=$work/deb
dpkg-deb -x "$deb" "$deb_root" || fail "dpkg-deb -x failed"
check "the package's files" same "$(files_under "$deb_root")" "$(printf '%s\n' \
  usr/bin/keymend usr/share/doc/keymend/README.md usr/share/doc/keymend/changelog.Debian.gz \
  usr/share/doc/keymend/copyright usr/share/man/man1/keymend.1.gz \
  usr/share/man/ru/man1/keymend.1.gz)"
check "the packaged keymend runs" runs "$deb_root/usr/bin/keymend"
check "the English manual page formats cleanly" man_is_clean "$deb_root/usr/share/man/man1/keymend.1.gz"
check "the Russian manual page formats cleanly" man_is_clean "$deb_root/usr/share/man/ru/man1/keymend.1.gz"
lintian --fail-on error "$deb" 2>&1 | grep -v '^running with root privileges'
lintian_status=${PIPESTATUS[0]}
check "lintian reports no error" test "$lintian_status" = 0

# --- cmake --install -------------------------------------------------------------------------
plain_root=$work/plain
DESTDIR=$plain_root cmake --install "$plainbuild" --prefix /opt/keymend >/dev/null ||
  fail "cmake --install failed"
check "cmake --install's files" same "$(files_under "$plain_root")" "$(printf '%s\n' \
  opt/keymend/bin/keymend opt/keymend/share/doc/keymend/LICENSE \
  opt/keymend/share/doc/keymend/README.md opt/keymend/share/man/man1/keymend.1 \
  opt/keymend/share/man/ru/man1/keymend.1)"
check "the installed keymend runs" runs "$plain_root/opt/keymend/bin/keymend"
for page in man/keymend.1 man/ru/keymend.1; do
  check "$page: mandoc -T lint is clean" same "$(mandoc -T lint "$page" 2>&1)" ""
  check "$page: groff -ww is clean" same "$(groff -k -ww -man -Tutf8 -z "$page" 2>&1)" ""
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
