#!/usr/bin/env bash
# Builds keymend.exe for Windows and the Linux keymend, then runs the command-level end-to-end
# checks against keymend.exe under Wine: manual, version and messages in English and Russian,
# imports of the committed PKCS#12 fixtures, -p12addtokv, -kvpublic, -kvrepair, containers moving
# between the Linux and the Windows build in both directions, and non-ASCII names and passwords
# under a Western (1252) and a Cyrillic (1251) ANSI code page.
#
# Which build is run: the 32-bit keymend.exe under 32-bit Wine where this machine can execute
# 32-bit x86 programs, otherwise the x86-64 build under 64-bit Wine (wine64). The 32-bit
# keymend.exe is built on every run all the same. KEYMEND_WINE_ARCH=32 or 64 forces one of them
# (default auto); a forced 32 fails on a machine that cannot execute 32-bit programs.
# Ends with "N passed, N failed"; the exit code is non-zero when a check failed, or when no Wine
# can run the checks on this machine (said plainly).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)

fail() { echo "test-wine: $*" >&2; exit 1; }

exe32=$root/$(scripts/build-win32.sh | tail -1) || fail "building the 32-bit keymend.exe failed"
linuxbuild=${KEYMEND_LINUX_BUILD_DIR:-build}
if ! { cmake -S . -B "$linuxbuild" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYMEND_SANITIZE=OFF \
         -DKEYMEND_WERROR=ON >/dev/null &&
       cmake --build "$linuxbuild" --target keymend -j"$(nproc 2>/dev/null || echo 2)" >/dev/null; }; then
  fail "building the Linux keymend failed"
fi
linux=$root/$linuxbuild/keymend

# Whether the kernel executes 32-bit x86 programs: a 96-byte static ELF32 program (ELF header,
# one loadable segment, then mov eax,1; mov ebx,42; int 0x80, i.e. exit(42)) must exit with 42.
# Kept in the build folder, which allows execution where /tmp may not.
runs_32bit_programs() {
  local probe=$root/build-win32/exit42-i386
  printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00' \
    '\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
    '\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00' \
    '\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe" && chmod +x "$probe" || return 1
  "$probe" 2>/dev/null
  [ $? = 42 ]
}

work=$(mktemp -d "${TMPDIR:-/tmp}/keymend-wine.XXXXXX")
trap 'wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
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

# use_wine 32|64: installs that Wine, picks the build it runs and starts a Wine prefix of its own
# beside that build (kept between runs: creating one takes a while); false, saying why, when that
# Wine cannot be installed or started. Sets exe, loader, objdump and format.
use_wine() {
  if [ "$1" = 32 ]; then
    exe=$exe32 loader=/usr/lib/wine/wine objdump=i686-w64-mingw32-objdump format=pei-i386
  else
    exe=$root/$(scripts/build-win64.sh | tail -1) || fail "building the x86-64 keymend.exe failed"
    loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
    objdump=x86_64-w64-mingw32-objdump format=pei-x86-64
  fi
  if ! KEYMEND_WITH_WINE=$1 scripts/deps.sh || [ ! -x "$loader" ]; then
    echo "test-wine: $1-bit Wine cannot be installed on this machine."
    return 1
  fi
  export WINEPREFIX=${KEYMEND_WINEPREFIX:-$(dirname "$exe")/wineprefix}
  export WINELOADER=$loader  # how Debian's wine64 finds itself
  if ! "$loader" wineboot -i >/dev/null 2>&1; then
    echo "test-wine: $1-bit Wine does not start here (wineboot under $loader failed)."
    return 1
  fi
}

arch=${KEYMEND_WINE_ARCH:-auto}
case $arch in auto|32|64) ;; *) fail "KEYMEND_WINE_ARCH must be auto, 32 or 64" ;; esac
if [ "$arch" != 64 ]; then
  if ! runs_32bit_programs; then
    [ "$arch" = 32 ] && fail "this machine cannot execute 32-bit x86 programs, so 32-bit Wine cannot run here."
    echo "test-wine: this machine cannot execute 32-bit x86 programs; the x86-64 build is tested instead."
  elif use_wine 32; then
    arch=32
  else
    [ "$arch" = 32 ] && fail "the 32-bit checks cannot run."
    echo "test-wine: the x86-64 build is tested instead."
  fi
fi
if [ "$arch" != 32 ]; then
  use_wine 64 || fail "neither 32-bit nor 64-bit Wine can run on this machine: the Windows checks cannot run."
  arch=64
fi
echo "test-wine: testing $exe ($arch-bit) under $loader"

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
  LC_ALL=$locale "$loader" "$exe" "$@" >"$work/out" 2>"$work/err" </dev/null
  code=$?
}
# win_input INPUT LANGUAGE ARGS...: as win, with INPUT (backslash escapes) as standard input.
win_input() {
  local input=$1 language=$2 locale=en_US.UTF-8
  shift 2
  [ "$language" = ru ] && locale=ru_RU.UTF-8
  printf '%b' "$input" | LC_ALL=$locale wine "$exe" "$@" >"$work/out" 2>"$work/err"
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
text_file() {  # text_file NAME TEXT: writes TEXT (backslash escapes) to $work/NAME
  printf '%b' "$2" >"$work/$1"
  echo "$work/$1"
}
output_is() {  # output_is LANGUAGE TEXT (backslash escapes)
  cmp -s "$(expect_win "$1" "$(text_file expected.txt "$2")")" "$work/out"
}
exit_code_is() { [ "$code" = "$1" ]; }
# The text of a file with its non-printable bytes as line breaks has a line matching PATTERN.
has_text_line() { tr -c '[:print:]' '\n' <"$1" | grep -qx "$2"; }

refused_en=$(text_file refused_en \
  'Wrong command line parameters! \nTo see full command list run keymend.exe -help.\n\n')
refused_ru=$(text_file refused_ru \
  'Неправильные параметры командной строки. \nДля отображения полного списка команд запустите keymend.exe -help.\n\n')
success_en=$(text_file success_en 'Successfully finished.\n')
text_file success_ru 'Операция успешно завершена.\n' >/dev/null

# --- The executables ----------------------------------------------------------------------
# PE files of their architecture that need nothing beyond the DLLs every Windows has; the
# 32-bit one is checked whichever build runs.
system_dlls_only() {  # system_dlls_only OBJDUMP EXE
  "$1" -p "$2" | awk '/DLL Name:/ {print toupper($3)}' |
    grep -qvxE 'KERNEL32.DLL|MSVCRT.DLL|ADVAPI32.DLL|USER32.DLL' && return 1
  return 0
}
pe_format_is() { "$1" -f "$2" | grep -q "file format $3\$"; }  # pe_format_is OBJDUMP EXE FORMAT
check "the 32-bit keymend.exe is a 32-bit Windows executable" \
  pe_format_is i686-w64-mingw32-objdump "$exe32" pei-i386
check "the 32-bit keymend.exe links its runtime statically" \
  system_dlls_only i686-w64-mingw32-objdump "$exe32"
if [ "$arch" = 64 ]; then
  check "the tested keymend.exe is an x86-64 Windows executable" pe_format_is "$objdump" "$exe" "$format"
  check "the tested keymend.exe links its runtime statically" system_dlls_only "$objdump" "$exe"
fi

# --- Manual and messages -------------------------------------------------------------------
win en -help
check "-help prints the English manual" same_output en tests/data/cli/help_en.txt
check "-help exits with 0" exit_code_is 0
win ru -help
check "-help prints the Russian manual" same_output ru tests/data/cli/help_ru.txt
win ru -help -contfolder x -noKVKM
check "-help ignores options it does not read" same_output ru tests/data/cli/help_ru.txt

# -version: the version CMakeLists.txt declares and the platform of the build that runs; the
# 32-bit keymend.exe, which may not run here, holds its line all the same.
version=$(sed -n 's/^project(keymend VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
platform="Windows x86-64"
[ "$arch" = 32 ] && platform="Windows x86"
win en -version
check "-version prints the version and the platform" output_is en "keymend $version ($platform)\n"
check "-version exits with 0" exit_code_is 0
win ru -contfolder x -version -noKVKM
check "-version ignores options it does not read" output_is ru "keymend $version ($platform)\n"
check "the 32-bit keymend.exe says it is for x86 Windows" \
  grep -qaF "keymend $version (Windows x86)" "$exe32"

# A real console (code page 866 for a Russian session): the Russian manual must come out readable
# there. Wine's console writes to the terminal in UTF-8 with cursor controls, which are stripped.
if command -v script >/dev/null 2>&1 && [ -d "${LOCPATH:-/nonexistent}/ru_RU.UTF-8" ]; then
  LC_ALL=ru_RU.UTF-8 script -qec "'$loader' '$exe' -help" /dev/null </dev/null >"$work/tty" 2>&1
  sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1b\][^\x07]*\x07//g' "$work/tty" | tr -d ' \r\n' \
    >"$work/tty.text"
  tr -d ' \n' <tests/data/cli/help_ru.txt >"$work/tty.expected"
  check "the Russian manual is readable on a code page 866 console" \
    grep -qF "$(head -c 400 "$work/tty.expected")" "$work/tty.text"
fi

# A password option standing last is a slip, and Windows has no descriptor sources.
for line in "" "-help bogus" "-kvpublic" "-kvpublic -contfolder" "-HELP" "-help -help" \
            "-help -passkv" "-help -passkvin fd:0" "-version -help"; do
  # shellcheck disable=SC2086  # the words of each line are meant to split
  win en $line
  check "refused line '$line' prints message 123" same_output en "$refused_en"
  check "refused line '$line' exits with 2" exit_code_is 2
done
win ru -noMACVerify
check "refused line in Russian" same_output ru "$refused_ru"

win en -kvpublic -contfolder 'C:\no\such\folder'
check "failed -kvpublic exits with 1" exit_code_is 1
check "failed -kvpublic prints messages 121 and 114" output_is en \
  'Failed to retreive public key from Kalvion CSP key container.\nFailed while executing.\n'

# --- Commands -----------------------------------------------------------------------------
passkv=12345678
fixtures=$root/tests/data/pkcs12
msg103_en='Failed to open PKCS#12 key container file.\n'
msg114_en='Failed while executing.\n'
msg103_ru='Ошибка при открытии ключевого контейнера PKCS#12.\n'
msg114_ru='При выполнении операции произошла ошибка.\n'

# The fixtures' manifest, one line per file: name, password (hex, "-" when empty), public key
# (hex: x then y, least significant byte first) and expectation (ok, mac, meshing).
manifest() {
  awk '/^File =/ {f = $3} /^Password =/ {p = NF >= 3 ? $3 : "-"} /^PublicKey =/ {k = $3}
       /^Expect =/ {print f, p, k, $3}' "$fixtures/manifest.vec"
}
field() {  # field FILE COLUMN: a column of the manifest line of FILE
  manifest | awk -v f="$1" -v c="$2" '$1 == f {print $c}'
}
unhex() {
  local hex=$1 out=
  [ "$hex" = - ] && return
  while [ -n "$hex" ]; do out+="\\x${hex:0:2}"; hex=${hex:2}; done
  printf '%b' "$out"
}
# Non-ASCII passwords run in the Russian session (code page 1251) here; unicode_checks runs
# Cyrillic passwords under code page 1252 too.
language_for() { if grep -qE '^([0-7][0-9a-f])*[89a-f]' <<<"$1"; then echo ru; else echo en; fi; }
winpath() { local p=${1//\//\\}; echo "Z:$p"; }  # Wine maps the Unix root to drive Z:
hex_of() { od -An -tx1 -v "$1" | tr -d ' \n'; }
# The content of public1/public2 for a public key: tag 04, length, the key.
public_file_hex() { printf '04%02x%s' $((${#1} / 2)) "$1"; }
public_is() {  # public_is FILE KEY-HEX
  [ -f "$1" ] && [ "$(hex_of "$1")" = "$(public_file_hex "$2")" ]
}
six_files() {
  local f
  for f in name header primary masks primary2 masks2; do [ -s "$1/$f.key" ] || return 1; done
}
no_folders() { [ -z "$(ls -A "$1")" ]; }
import_args() {  # import_args FIXTURE USE READER(Windows or Unix path) NAME
  local pw
  pw=$(field "$1" 2)
  args=(-p12tokv -rdrfolder "$3" -contname "$4" "$2" -infile "$fixtures/$1" -passkv "$passkv")
  [ "$pw" = - ] || args+=(-passp12 "$(unhex "$pw")")
}
win_import() {  # win_import FIXTURE USE WINDOWS-READER NAME [EXTRA...]
  local fixture=$1 use=$2 reader=$3 name=$4 pw
  shift 4
  pw=$(field "$fixture" 2)
  args=(-p12tokv -rdrfolder "$reader" -contname "$name" "$use"
        -infile "$(winpath "$fixtures/$fixture")" -passkv "$passkv")
  [ "$pw" = - ] || args+=(-passp12 "$(unhex "$pw")")
  win "$(language_for "$pw")" "${args[@]}" "$@"
}
lin_import() {  # lin_import FIXTURE USE READER NAME [EXTRA...]
  local fixture=$1 use=$2 reader=$3 name=$4
  shift 4
  import_args "$fixture" "$use" "$reader" "$name"
  LANG=C.UTF-8 lin "${args[@]}" "$@"
}


# -p12tokv on every committed fixture, alternating -sg and -ex; the container keymend.exe writes
# is then read by the Linux build, whose public1 must be the certificate's public key.
import_checks() {
  local n=0 use=-ex file pw key expect reader lang expected
  while read -r file pw key expect; do
    n=$((n + 1))
    if [ "$use" = -sg ]; then use=-ex; else use=-sg; fi
    lang=$(language_for "$pw")
    reader=$work/import$n
    mkdir -p "$reader"
    if [ "$expect" = mac ]; then
      win_import "$file" "$use" "$(winpath "$reader")" testkeys
      if [ "$lang" = ru ]; then expected=$msg103_ru$msg114_ru; else expected=$msg103_en$msg114_en; fi
      check "$file: a corrupted or missing MAC is refused" output_is "$lang" "$expected"
      win_import "$file" "$use" "$(winpath "$reader")" testkeys -noMACVerify
    elif [ "$expect" = meshing ]; then
      win_import "$file" "$use" "$(winpath "$reader")" testkeys -noKVKM
      check "$file: refused without key meshing" output_is en "$msg103_en$msg114_en"
      check "$file: refusal exits with 1" exit_code_is 1
      check "$file: a refused import creates no folder" no_folders "$reader"
      win_import "$file" "$use" "$(winpath "$reader")" testkeys
    else
      win_import "$file" "$use" "$(winpath "$reader")" testkeys
    fi
    check "$file $use: imported" same_output "$lang" "$work/success_$lang"
    check "$file $use: import exits with 0" exit_code_is 0
    check "$file: the container has its six files" six_files "$reader/testkeys.000"
    LANG=C.UTF-8 lin -kvpublic -contfolder "$reader/testkeys.000" -passkv "$passkv"
    check "$file: the Linux build opens the container" exit_code_is 0
    check "$file: public1 is the certificate's key" public_is "$reader/testkeys.000/public1" "$key"
  done < <(manifest)

  # Folder naming on Windows paths: the first 8 bytes of the name, then the next free number;
  # a reader folder given with a trailing backslash or with forward slashes.
  reader=$work/naming
  mkdir -p "$reader"
  win_import gost2001-cpA-ascii-mac512.pfx -sg "$(winpath "$reader")" MyContainerName
  win_import gost2001-cpA-ascii-mac512.pfx -sg "$(winpath "$reader")\\" MyContainerName
  win_import gost2001-cpA-ascii-mac512.pfx -sg "Z:$reader/" MyContainerName
  check "names are numbered: .000, .001 and .002" \
    test "$(cd "$reader" && echo *)" = "MyContai.000 MyContai.001 MyContai.002"
  check "name.key holds the full name" grep -q MyContainerName "$reader/MyContai.002/name.key"
  win ru -p12tokv -rdrfolder "$(winpath "$reader")" -contname other -sg \
    -infile "$(winpath "$reader/absent.pfx")"
  check "a missing -infile: message 102 and 114 in Russian" output_is ru \
    'Ошибка при открытии файла ключевого контейнера PKCS#12.\nПри выполнении операции произошла ошибка.\n'
  check "a missing -infile creates no folder" test ! -e "$reader/other.000"

  # A MAC over a digest keymend lacks (SHA-512/256 in place of SHA-256) is named by its OID.
  xxd -p "$fixtures/std-2001-default.pfx" | tr -d '\n' |
    sed 's/0609608648016503040201/0609608648016503040206/' | xxd -r -p >"$reader/unsupported.pfx"
  win en -p12tokv -rdrfolder "$(winpath "$reader")" -contname other -sg \
    -infile "$(winpath "$reader/unsupported.pfx")" -passp12 secret
  check "an unsupported MAC digest is named" output_is en \
    'PKCS#12 key container file is protected with an unsupported algorithm (2.16.840.1.101.3.4.2.6).\nFailed while executing.\n'
  win ru -p12tokv -rdrfolder "$(winpath "$reader")" -contname other -sg \
    -infile "$(winpath "$reader/unsupported.pfx")" -passp12 secret
  check "an unsupported MAC digest is named in Russian" output_is ru \
    'Ключевой контейнер PKCS#12 защищён неподдерживаемым алгоритмом (2.16.840.1.101.3.4.2.6).\nПри выполнении операции произошла ошибка.\n'
  check "an unsupported file creates no folder" test ! -e "$reader/other.000"
}


# -kvpublic by keymend.exe on containers the Linux build wrote, one per key family; the folder is
# given with a trailing backslash.
kvpublic_checks() {
  local file key reader folder
  for file in gost2001-cpB-empty-mac94.pfx gost2012-256-tcA-cyrillic-mac512.pfx \
              gost2012-512-tcC-cyrillic-mac512.pfx; do
    key=$(field "$file" 3)
    reader=$work/public-$file
    mkdir -p "$reader"
    lin_import "$file" -sg "$reader" linuxkeys
    check "$file: the Linux build imports" exit_code_is 0
    folder=$reader/linuxkey.000
    win en -kvpublic -contfolder "$(winpath "$folder")\\" -passkv "$passkv"
    check "$file: keymend.exe opens the Linux container" same_output en "$success_en"
    check "$file: keymend.exe writes public1" public_is "$folder/public1" "$key"
    check "$file: one key, no public2" test ! -e "$folder/public2"
  done
  # The container password from each source Windows offers.
  printf '%s\r\n' "$passkv" >"$work/passkv.txt"
  win en -kvpublic -contfolder "$(winpath "$folder")" -passkvin "file:$(winpath "$work/passkv.txt")"
  check "-passkvin file: gives the password" same_output en "$success_en"
  KEYMEND_PASSKV=$passkv win en -kvpublic -contfolder "$(winpath "$folder")" \
    -passkvin env:KEYMEND_PASSKV
  check "-passkvin env: gives the password" same_output en "$success_en"
  win_input "$passkv\\n" en -kvpublic -contfolder "$(winpath "$folder")" -passkvin stdin
  check "-passkvin stdin gives the password" same_output en "$success_en"
  win_input "" en -kvpublic -contfolder "$(winpath "$folder")" -passkvin stdin
  check "-passkvin stdin with nothing to read refuses the line" exit_code_is 2
  win ru -kvpublic -contfolder "$(winpath "$folder")" -passkv wrong
  check "-kvpublic with a wrong password: messages 121 and 114 in Russian" output_is ru \
    'Невозможно извлечь открытый ключ из ключевого контейнера Калвион CSP.\nПри выполнении операции произошла ошибка.\n'
  check "-kvpublic with a wrong password exits with 1" exit_code_is 1
  # -kvcheck reads the Linux build's container and changes nothing in it, not even a time.
  local before
  before=$(find "$folder" -printf '%P %s %T@\n' | sort; cat "$folder"/* | md5sum)
  win en -kvcheck -contfolder "$(winpath "$folder")" -passkv "$passkv"
  check "-kvcheck calls the container healthy" grep -q '^Verdict: healthy' "$work/out"
  check "-kvcheck on a healthy container exits with 0" exit_code_is 0
  win ru -kvcheck -contfolder "$(winpath "$folder")" -passkv wrong
  check "-kvcheck tells a wrong password, in Russian" \
    grep -q 'Заключение: неверный пароль' <(iconv -f CP1251 -t UTF-8 "$work/out")
  check "-kvcheck with a wrong password exits with 1" exit_code_is 1
  check "-kvcheck changes nothing in the folder" \
    test "$before" = "$(find "$folder" -printf '%P %s %T@\n' | sort; cat "$folder"/* | md5sum)"
}

# -p12addtokv in both directions: keymend.exe adds a key to a container of the Linux build, and
# the Linux build adds one to a container of keymend.exe; each side then reads both keys.
add_checks() {
  local reader=$work/add folder
  mkdir -p "$reader"
  lin_import gost2012-256-cpA-empty-mac512.pfx -sg "$reader" fromlinux
  folder=$reader/fromlinu.000
  win en -p12addtokv -contfolder "$(winpath "$folder")" -sg -infile "$(winpath "$reader/absent.pfx")" \
    -passkv "$passkv"
  check "-p12addtokv of a second signature key: message 110" output_is en \
    'Unable to add key of the same purpose to Kalvion container. \nFailed while executing.\n'
  win en -p12addtokv -contfolder "$(winpath "$folder")" -ex -infile "$(winpath "$fixtures/no-cert.pfx")" \
    -passkv "$passkv" -passp12 "$(unhex "$(field no-cert.pfx 2)")"
  check "keymend.exe adds a key to a Linux container" same_output en "$success_en"
  LANG=C.UTF-8 lin -kvpublic -contfolder "$folder" -passkv "$passkv"
  check "the Linux build opens it with both keys" exit_code_is 0
  check "public1 after the add (Linux)" public_is "$folder/public1" \
    "$(field gost2012-256-cpA-empty-mac512.pfx 3)"
  check "public2 after the add (Linux)" public_is "$folder/public2" "$(field no-cert.pfx 3)"
  win en -p12addtokv -contfolder "$(winpath "$folder")" -ex -infile "$(winpath "$reader/absent.pfx")" \
    -passkv "$passkv"
  check "a full container: message 108" output_is en \
    'Kalvion CSP key container is full. Cannot add extra keys.\nFailed while executing.\n'

  win_import gost2012-512-tcA-ascii-mac512.pfx -ex "$(winpath "$reader")" fromwindows
  folder=$reader/fromwind.000
  LANG=C.UTF-8 lin -p12addtokv -contfolder "$folder" -sg -infile "$fixtures/rawkey-first-84.pfx" \
    -passkv "$passkv" -passp12 "$(unhex "$(field rawkey-first-84.pfx 2)")"
  check "the Linux build adds a key to a keymend.exe container" exit_code_is 0
  win en -kvpublic -contfolder "$(winpath "$folder")" -passkv "$passkv"
  check "keymend.exe opens it with both keys" same_output en "$success_en"
  check "public1 after the add (Windows)" public_is "$folder/public1" \
    "$(field gost2012-512-tcA-ascii-mac512.pfx 3)"
  check "public2 after the add (Windows)" public_is "$folder/public2" \
    "$(field rawkey-first-84.pfx 3)"
}

# -kvrepair in both directions: a header destroyed on one side is rebuilt from the key's
# certificate on the other, and the first side opens the result. The certificates come out of
# the fixtures through OpenSSL with the GOST engine; without it these checks are skipped.
repair_checks() {
  local file=gost2001-cpA-ascii-mac512.pfx reader=$work/repair folder cert=$work/repair-cert.pem
  if ! openssl pkcs12 -engine gost -in "$fixtures/$file" -passin pass:"$(unhex "$(field "$file" 2)")" \
       -nokeys -out "$cert" >/dev/null 2>&1; then
    echo "test-wine: OpenSSL's GOST engine is missing; the -kvrepair checks are skipped."
    return
  fi
  mkdir -p "$reader"
  lin_import "$file" -sg "$reader" linux
  folder=$reader/linux.000
  printf 'garbage' >"$folder/header.key"
  rm -f "$folder/name.key"
  win en -kvrepair -contfolder "$(winpath "$folder")" -certsg "$(winpath "$cert")" -passkv "$passkv"
  check "keymend.exe repairs a Linux container" same_output en "$success_en"
  LANG=C.UTF-8 lin -kvpublic -contfolder "$folder" -passkv "$passkv"
  check "the Linux build opens the repaired container" exit_code_is 0
  check "public1 after the repair (Linux)" public_is "$folder/public1" "$(field "$file" 3)"
  # Without name.key the name is the folder's, less its number: "linux", not a path.
  check "the name comes from the Windows folder path" \
    has_text_line "$folder/name.key" '.\?linux'

  win_import "$file" -sg "$(winpath "$reader")" windows
  folder=$reader/windows.000
  rm -f "$folder/header.key"
  LANG=C.UTF-8 lin -kvrepair -contfolder "$folder" -certsg "$cert" -passkv "$passkv"
  check "the Linux build repairs a keymend.exe container" exit_code_is 0
  win en -kvpublic -contfolder "$(winpath "$folder")" -passkv "$passkv"
  check "keymend.exe opens the repaired container" same_output en "$success_en"
  check "public1 after the repair (Windows)" public_is "$folder/public1" "$(field "$file" 3)"

  win ru -kvrepair -contfolder "$(winpath "$reader/absent")" -certsg "$(winpath "$cert")"
  check "a failed repair: messages 111 and 114 in Russian" output_is ru \
    'Невозможно восстановить указанный ключевой контейнер Калвион CSP.\nПри выполнении операции произошла ошибка.\n'
}

# Non-ASCII names and passwords in a Russian session (ANSI code page 1251): the folder takes the
# first 8 characters of the name, and a container password typed in code page 1251 on Windows is
# the same password typed in UTF-8 on Linux, both ways.
cyrillic_checks() {
  local reader=$work/cyrillic file=gost2001-cpA-ascii-mac512.pfx folder
  mkdir -p "$reader"
  win ru -p12tokv -rdrfolder "$(winpath "$reader")" -contname 'Контейнер ключей' -sg \
    -infile "$(winpath "$fixtures/$file")" -passp12 secret -passkv 'пароль'
  check "a Cyrillic name and password: imported" same_output ru "$work/success_ru"
  folder="$reader/Контейне.000"
  check "the folder is named from 8 characters of the name" six_files "$folder"
  LANG=C.UTF-8 lin -kvpublic -contfolder "$folder" -passkv 'пароль'
  check "the Linux build opens it with the same password" exit_code_is 0
  check "public1 of the Cyrillic container (Linux)" public_is "$folder/public1" "$(field "$file" 3)"

  LANG=C.UTF-8 lin -p12tokv -rdrfolder "$reader" -contname linux -sg -infile "$fixtures/$file" \
    -passp12 secret -passkv 'пароль'
  folder=$reader/linux.000
  win ru -kvpublic -contfolder "$(winpath "$folder")" -passkv 'пароль'
  check "keymend.exe opens a Linux container with a Cyrillic password" \
    same_output ru "$work/success_ru"
  check "public1 of the Cyrillic container (Windows)" public_is "$folder/public1" \
    "$(field "$file" 3)"
  win ru -kvpublic -contfolder "$(winpath "$folder")" -passkv 'парол'
  check "and refuses another password" exit_code_is 1
  check "name.key holds the name in code page 1251" name_key_is "$reader/Контейне.000" \
    "$(printf 'Контейнер ключей' | iconv -f UTF-8 -t CP1251 | hex_of /dev/stdin)"
}

# name_key_is FOLDER NAME-HEX: name.key is SEQUENCE { IA5String } holding exactly those bytes.
name_key_is() {
  local n=$((${#2} / 2))
  [ "$(hex_of "$1/name.key")" = "$(printf '30%02x16%02x%s' $((n + 2)) "$n" "$2")" ]
}
utf8_hex() { printf '%s' "$1" | hex_of /dev/stdin; }

# The command line is read in UTF-16: under code page 1252, which holds no Cyrillic, Cyrillic
# passwords, folders and names work all the same; a name that the code page cannot hold goes into
# name.key in UTF-8 and names the folder by its first 8 UTF-8 bytes, as on Linux. Under code page
# 1251 a Greek name (outside it) does the same, while a Cyrillic name keeps its 1251 bytes inside
# a Greek folder.
unicode_checks() {
  local reader=$work/читатель file=gost2012-256-tcA-cyrillic-mac512.pfx folder cert
  local p12pw
  p12pw=$(unhex "$(field "$file" 2)")
  mkdir -p "$reader"
  win en -p12tokv -rdrfolder "$(winpath "$reader")" -contname 'Контейнер ключей' -sg \
    -infile "$(winpath "$fixtures/$file")" -passp12 "$p12pw" -passkv 'пароль'
  check "code page 1252: a Cyrillic PKCS#12 password, name and folder: imported" \
    same_output en "$success_en"
  folder=$reader/Конт.000
  check "code page 1252: the folder takes 8 UTF-8 bytes of the name" six_files "$folder"
  check "code page 1252: name.key holds the name in UTF-8" name_key_is "$folder" \
    "$(utf8_hex 'Контейнер ключей')"
  LANG=C.UTF-8 lin -kvpublic -contfolder "$folder" -passkv 'пароль'
  check "code page 1252: the Linux build opens it with the Cyrillic password" exit_code_is 0
  check "code page 1252: public1 (Linux)" public_is "$folder/public1" "$(field "$file" 3)"

  win en -p12addtokv -contfolder "$(winpath "$folder")" -ex -infile "$(winpath "$fixtures/no-cert.pfx")" \
    -passkv 'пароль' -passp12 "$(unhex "$(field no-cert.pfx 2)")"
  check "code page 1252: a key added in a Cyrillic folder" same_output en "$success_en"
  check "code page 1252: the add keeps name.key" name_key_is "$folder" "$(utf8_hex 'Контейнер ключей')"
  win en -kvpublic -contfolder "$(winpath "$folder")" -passkv 'пароль'
  check "code page 1252: -kvpublic with the Cyrillic password" same_output en "$success_en"
  check "code page 1252: public2 (Windows)" public_is "$folder/public2" "$(field no-cert.pfx 3)"
  win en -kvpublic -contfolder "$(winpath "$folder")" -passkv 'парол'
  check "code page 1252: another Cyrillic password is refused" exit_code_is 1
  # The PKCS#12 password's limit is 255 bytes of UTF-8, as on Linux: 127 Cyrillic letters reach
  # the PKCS#12 reader (and are the wrong password), 128 make the line wrong.
  local long127 long128
  long127=$(printf 'ж%.0s' {1..127})
  long128=${long127}ж
  win en -p12tokv -rdrfolder "$(winpath "$reader")" -contname long -sg \
    -infile "$(winpath "$fixtures/$file")" -passp12 "$long127"
  check "code page 1252: a 254-byte Cyrillic PKCS#12 password is read" output_is en \
    "$msg103_en$msg114_en"
  win en -p12tokv -rdrfolder "$(winpath "$reader")" -contname long -sg \
    -infile "$(winpath "$fixtures/$file")" -passp12 "$long128"
  check "code page 1252: a 256-byte one makes the line wrong" same_output en "$refused_en"

  cert=$reader/сертификат.pem
  if openssl pkcs12 -engine gost -in "$fixtures/$file" -passin pass:"$p12pw" -nokeys \
       -out "$cert" >/dev/null 2>&1; then
    rm -f "$folder/name.key" "$folder/header.key"
    win en -kvrepair -contfolder "$(winpath "$folder")" -certsg "$(winpath "$cert")" \
      -passkv 'пароль'
    check "code page 1252: a repair from a Cyrillic certificate path" same_output en "$success_en"
    check "code page 1252: the repaired name is the folder's, in UTF-8" name_key_is "$folder" \
      "$(utf8_hex 'Конт')"
  fi

  reader=$work/Ωμέγα
  mkdir -p "$reader"
  win ru -p12tokv -rdrfolder "$(winpath "$reader")" -contname 'Ωμέγα κλειδιά' -ex \
    -infile "$(winpath "$fixtures/$file")" -passp12 "$p12pw" -passkv 'κωδικός'
  check "code page 1251: a Greek name, folder and password: imported" same_output ru "$work/success_ru"
  folder=$reader/Ωμέγ.000
  check "code page 1251: the folder takes 8 UTF-8 bytes of the Greek name" six_files "$folder"
  check "code page 1251: name.key holds the Greek name in UTF-8" name_key_is "$folder" \
    "$(utf8_hex 'Ωμέγα κλειδιά')"
  LANG=C.UTF-8 lin -kvpublic -contfolder "$folder" -passkv 'κωδικός'
  check "code page 1251: the Linux build opens it with the Greek password" exit_code_is 0
  win ru -p12tokv -rdrfolder "$(winpath "$reader")" -contname 'Контейнер' -sg \
    -infile "$(winpath "$fixtures/$file")" -passp12 "$p12pw" -passkv 'κωδικός'
  check "code page 1251: a Cyrillic name keeps its 1251 bytes in a Greek folder" name_key_is \
    "$reader/Контейне.000" "$(printf 'Контейнер' | iconv -f UTF-8 -t CP1251 | hex_of /dev/stdin)"
}

# -kvtop12 in both directions: keymend.exe exports the keys of a container the Linux build wrote,
# and the Linux build imports the files again (and OpenSSL reads them, when it is there); the
# Linux build exports a container of keymend.exe, which imports the file. An existing file stops
# a second export before anything is written.
kvtop12_checks() {
  local reader=$work/kvtop12 out=$work/kvtop12-out folder key
  mkdir -p "$reader" "$out"
  lin_import gost2012-512-tcC-cyrillic-mac512.pfx -sg "$reader" fromlinux
  LANG=C.UTF-8 lin -p12addtokv -contfolder "$reader/fromlinu.000" -ex \
    -infile "$fixtures/rawkey-first-84.pfx" -passkv "$passkv" \
    -passp12 "$(unhex "$(field rawkey-first-84.pfx 2)")"
  check "-kvtop12: the Linux build writes a two-key container" exit_code_is 0
  folder=$reader/fromlinu.000
  win ru -kvtop12 -contfolder "$(winpath "$folder")" -passkv "$passkv" -passp12 'пароль' \
    -outdir "$(winpath "$out")"
  check "keymend.exe exports a Linux container" same_output ru "$work/success_ru"
  check "keymend.exe writes one file per key" \
    test "$(cd "$out" && echo *)" = "exchange.pfx signature.pfx"
  LANG=C.UTF-8 lin -p12tokv -rdrfolder "$reader" -contname again -sg -infile "$out/signature.pfx" \
    -passp12 'пароль' -passkv "$passkv"
  check "the Linux build imports the file of keymend.exe" exit_code_is 0
  LANG=C.UTF-8 lin -kvpublic -contfolder "$reader/again.000" -passkv "$passkv"
  check "the exported key is the container's key" public_is "$reader/again.000/public1" \
    "$(field gost2012-512-tcC-cyrillic-mac512.pfx 3)"
  if command -v openssl >/dev/null && openssl engine gost >/dev/null 2>&1; then
    check "OpenSSL reads the file of keymend.exe, MAC verified" \
      openssl pkcs12 -engine gost -in "$out/signature.pfx" -passin 'pass:пароль' -noout
  fi
  cp "$out/signature.pfx" "$work/kvtop12-before.pfx"
  win en -kvtop12 -contfolder "$(winpath "$folder")" -passkv "$passkv" -outdir "$(winpath "$out")"
  check "a second export is refused" exit_code_is 1
  check "the refusal names the file" grep -qF 'signature.pfx already exists' "$work/out"
  check "the refusal leaves the file as it was" cmp -s "$out/signature.pfx" "$work/kvtop12-before.pfx"
  check "the refusal leaves no temporary" test "$(ls -A "$out" | tr '\n' ' ')" = \
    "exchange.pfx signature.pfx "

  win_import gost2001-cpB-empty-mac94.pfx -ex "$(winpath "$reader")" fromwindows
  folder=$reader/fromwind.000
  mkdir -p "$out/linux"
  LANG=C.UTF-8 lin -kvtop12 -contfolder "$folder" -passkv "$passkv" -outdir "$out/linux"
  check "the Linux build exports a keymend.exe container" exit_code_is 0
  win en -p12tokv -rdrfolder "$(winpath "$reader")" -contname back -ex \
    -infile "$(winpath "$out/linux/exchange.pfx")" -passkv "$passkv"
  check "keymend.exe imports the file of the Linux build" same_output en "$success_en"
  key=$(field gost2001-cpB-empty-mac94.pfx 3)
  LANG=C.UTF-8 lin -kvpublic -contfolder "$reader/back.000" -passkv "$passkv"
  check "the key came back unchanged" public_is "$reader/back.000/public1" "$key"
}

# The commands' checks.
import_checks
kvpublic_checks
add_checks
cyrillic_checks
unicode_checks
repair_checks
kvtop12_checks

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
