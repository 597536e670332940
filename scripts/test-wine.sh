#!/usr/bin/env bash
# Builds keymend.exe (32-bit Windows) and the Linux keymend, then runs the command-level
# end-to-end checks against keymend.exe under Wine: manual and messages in English and Russian,
# imports of the committed PKCS#12 fixtures, -p12addtokv, -kvpublic, -kvrepair, and containers
# moving between the Linux and the Windows build in both directions.
# Ends with "N passed, N failed"; the exit code is non-zero when a check failed. When Wine cannot
# be installed on this machine it says so and exits 0 without running the checks.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if ! KEYMEND_WITH_MINGW=1 scripts/deps.sh; then
  echo "test-wine: the MinGW-w64 cross compiler is missing and cannot be installed." >&2
  exit 1
fi
if ! KEYMEND_WITH_WINE=1 scripts/deps.sh || ! command -v wine >/dev/null 2>&1; then
  echo "test-wine: Wine cannot be installed on this machine; the Windows checks are SKIPPED."
  exit 0
fi

exe=$root/$(scripts/build-win32.sh | tail -1) || { echo "test-wine: building keymend.exe failed" >&2; exit 1; }
linuxbuild=${KEYMEND_LINUX_BUILD_DIR:-build}
cmake -S . -B "$linuxbuild" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYMEND_SANITIZE=OFF >/dev/null &&
  cmake --build "$linuxbuild" --target keymend -j"$(nproc 2>/dev/null || echo 2)" >/dev/null ||
  { echo "test-wine: building the Linux keymend failed" >&2; exit 1; }
linux=$root/$linuxbuild/keymend

work=$(mktemp -d "${TMPDIR:-/tmp}/keymend-wine.XXXXXX")
trap 'rm -rf "$work"' EXIT
# A Wine prefix of our own, kept between runs (creating one takes a while); no display needed.
export WINEPREFIX=${KEYMEND_WINEPREFIX:-$root/build-win32/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
unset LANG LANGUAGE LC_MESSAGES LC_CTYPE
# Wine derives the Windows locale from the Unix one, which must exist: compile the two used here
# into a private folder when the system lacks them.
if command -v localedef >/dev/null 2>&1; then
  export LOCPATH=$work/locale
  mkdir -p "$LOCPATH"
  for l in en_US ru_RU; do
    localedef -i $l -f UTF-8 "$LOCPATH/$l.UTF-8" >/dev/null 2>&1 || true
  done
fi
if ! wineboot -i >/dev/null 2>&1; then
  echo "test-wine: wineboot failed; the Windows checks cannot run." >&2
  exit 1
fi

passed=0
failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
check() {  # check NAME COMMAND...: the command's success is the check's
  local name=$1
  shift
  if "$@"; then ok; else bad "$name"; fi
}

# win LANGUAGE ARGS...: runs keymend.exe under Wine with the user interface in English (en) or
# Russian (ru). Output bytes go to $work/out, the exit code to $code. Wine takes the Windows
# locale (user-interface language, ANSI code page 1252 or 1251) from LC_ALL.
win() {
  local language=$1
  shift
  local locale=en_US.UTF-8
  [ "$language" = ru ] && locale=ru_RU.UTF-8
  LC_ALL=$locale wine "$exe" "$@" >"$work/out" 2>"$work/err" </dev/null
  code=$?
}
lin() {
  "$linux" "$@" >"$work/out" 2>"$work/err" </dev/null
  code=$?
}

# Expected console bytes: the text with CR LF line ends, in the ANSI code page of the language
# (wprintf converts through the locale, which is the user default when no console is attached).
expect_win() {  # expect_win LANGUAGE TEXT-FILE -> file with the expected bytes
  local language=$1 file=$2 out=$work/expected
  if [ "$language" = ru ]; then
    sed 's/$/\r/' "$file" | iconv -f UTF-8 -t CP1251 >"$out"
  else
    sed 's/$/\r/' "$file" >"$out"
  fi
  echo "$out"
}
same_output() {  # same_output LANGUAGE TEXT-FILE
  cmp -s "$(expect_win "$1" "$2")" "$work/out"
}
text_file() {  # text_file NAME TEXT: writes TEXT (printf escapes) to $work/NAME
  printf "$2" >"$work/$1"
  echo "$work/$1"
}
exit_code_is() { [ "$code" = "$1" ]; }

refused_en=$(text_file refused_en \
  'Wrong command line parameters! \nTo see full command list run keymend.exe -help.\n\n')
refused_ru=$(text_file refused_ru \
  'Неправильные параметры командной строки. \nДля отображения полного списка команд запустите keymend.exe -help.\n\n')
failed_en=$(text_file failed_en 'Failed while executing.\n')
success_en=$(text_file success_en 'Successfully finished.\n')
success_ru=$(text_file success_ru 'Операция успешно завершена.\n')

# --- Manual and messages -------------------------------------------------------------------
win en -help
check "-help prints the English manual" same_output en tests/data/cli/help_en.txt
check "-help exits with 0" exit_code_is 0
win ru -help
check "-help prints the Russian manual" same_output ru tests/data/cli/help_ru.txt
win ru -help -contfolder x -noKVKM
check "-help ignores options it does not read" same_output ru tests/data/cli/help_ru.txt

# A real console (code page 866 for a Russian session): the Russian manual must come out readable
# there. Wine's console writes to the terminal in UTF-8 with cursor controls, which are stripped.
if command -v script >/dev/null 2>&1 && [ -d "${LOCPATH:-/nonexistent}/ru_RU.UTF-8" ]; then
  LC_ALL=ru_RU.UTF-8 script -qec "wine '$exe' -help" /dev/null </dev/null >"$work/tty" 2>&1
  sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1b\][^\x07]*\x07//g' "$work/tty" | tr -d ' \r\n' \
    >"$work/tty.text"
  tr -d ' \n' <tests/data/cli/help_ru.txt >"$work/tty.expected"
  check "the Russian manual is readable on a code page 866 console" \
    grep -qF "$(head -c 400 "$work/tty.expected")" "$work/tty.text"
fi

for line in "" "-help bogus" "-kvpublic" "-kvpublic -contfolder" "-HELP" "-help -help"; do
  # shellcheck disable=SC2086  # the words of each line are meant to split
  win en $line
  check "refused line '$line' prints message 123" same_output en "$refused_en"
  check "refused line '$line' exits with 0" exit_code_is 0
done
win ru -noMACVerify
check "refused line in Russian" same_output ru "$refused_ru"

win en -kvpublic -contfolder 'C:\no\such\folder'
check "failed -kvpublic exits with 1" exit_code_is 1
check "failed -kvpublic ends with message 114" \
  bash -c 'tail -c 25 "$1" | tr -d "\r" | grep -qx "Failed while executing."' _ "$work/out"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
