#!/usr/bin/env bash
# Measures keymend beside OpenSSL with its GOST provider/engine, on this machine, in one run.
#   scripts/bench.sh            full run (a few minutes on a quiet machine)
#   scripts/bench.sh --quick    fewer repetitions, no 200,000-iteration file (a smoke test)
#   scripts/bench.sh --portable the same with the processor-specific variants left out of the build
#                               (build-bench-portable/): the figures of a machine without them
#
# 1. Builds keymend and keymend_bench in release mode in build-bench/.
# 2. Runs the primitive benchmarks (keymend and OpenSSL's GOST provider alternate inside each
#    benchmark iteration) with repetitions, and keeps the median of every ratio.
# 3. Generates PKCS#12 files with 2,048, 20,000 and 200,000 PBKDF2 iterations into a temporary
#    folder and times whole processes: `keymend -p12tokv` against `openssl pkcs12 -nodes` on the
#    same file (CPU time of the child, median of several runs), the same for the key exported with
#    OpenSSL's default protection (p12tokv_aes_whole_process), `keymend -kvtop12` of a one-key
#    container against `openssl pkcs12 -export` writing the same key with the same algorithms
#    and iterations, and records the peak RSS of every keymend command.
#
# The last lines are machine-readable, one per measure:
#   ratio <measure> <value>       speed-up over OpenSSL (OpenSSL time / keymend time), except
#                                 pbkdf2_slope: keymend's cost per extra iteration / OpenSSL's
#   rss_kib <command> <value>     peak resident set of one keymend process
#   cpu_features <names>          the processor features the fast paths could use (first line)
# The standard algorithms (SHA, AES, PBKDF2) are compared with OpenSSL's default provider, with
# the processor's features and forced portable (the *_portable measures).
#
# The OpenSSL side of the whole-command comparison: `openssl pkcs12 -provider default -provider
# gostprov -nodes` cannot read GOST PKCS#12 files with OpenSSL 3.0 (the MAC digest is fetched by
# its long name, which the provider does not register; with -nomacver the GOST 28147-89 PBES2
# parameters fail to decode), so the same GOST code is loaded as an engine:
# `openssl pkcs12 -engine gost -nodes`.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

quick=0
vector=ON
build="$root/build-bench"
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    --portable) vector=OFF; build="$root/build-bench-portable" ;;
    *) echo "usage: scripts/bench.sh [--quick] [--portable]" >&2; exit 2 ;;
  esac
done

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKEYMEND_TESTS=OFF -DKEYMEND_VECTOR=$vector -DKEYMEND_WERROR=ON >/dev/null
cmake --build "$build" --target keymend keymend_bench -j2 >/dev/null

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Primitives: median over repetitions of every counter.
reps=5
mintime=0.5
if [ $quick = 1 ]; then reps=3; mintime=0.1; fi
echo "== primitives ($reps repetitions each)" >&2
"$build/keymend_bench" --benchmark_repetitions=$reps --benchmark_min_time=$mintime \
  --benchmark_report_aggregates_only=true --benchmark_format=console \
  --benchmark_out_format=json --benchmark_out="$work/primitives.json" >&2

# PKCS#12 files: one GOST R 34.10-2012 256-bit key with its certificate, exported with GOST
# 28147-89 PBES2 for both bags and an HMAC GOST R 34.11-2012-512 MAC at each iteration count.
# A second key of the same type for -p12addtokv.
q() { "$@" 2>/dev/null; }
(
  cd "$work"
  q openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:A -out k.pem
  q openssl req -engine gost -x509 -new -key k.pem -subj "/CN=keymend bench" -days 3650 \
    -md_gost12_256 -out k.crt
  q openssl x509 -engine gost -in k.crt -outform DER -out k.cer
  q openssl genpkey -engine gost -algorithm gost2012_256 -pkeyopt paramset:B -out k2.pem
  q openssl req -engine gost -x509 -new -key k2.pem -subj "/CN=keymend bench 2" -days 3650 \
    -md_gost12_256 -out k2.crt
  iters="2048 20000 200000"
  if [ $quick = 1 ]; then iters="2048 20000"; fi
  for n in $iters; do
    q openssl pkcs12 -engine gost -export -inkey k.pem -in k.crt -keypbe gost89 -certpbe gost89 \
      -macalg md_gost12_512 -iter "$n" -passout pass:secret -out "iter$n.pfx"
  done
  q openssl pkcs12 -engine gost -export -inkey k2.pem -in k2.crt -keypbe gost89 \
    -certpbe gost89 -macalg md_gost12_512 -iter 2048 -passout pass:secret -out second.pfx
  # The same key as OpenSSL 3 exports it by default (PBES2 with HMAC-SHA-256 and AES-256-CBC,
  # a SHA-256 MAC, 2,048 iterations).
  q openssl pkcs12 -engine gost -export -inkey k.pem -in k.crt -passout pass:secret -out std.pfx
)

echo "== whole commands" >&2
python3 "$root/scripts/bench_report.py" --keymend "$build/keymend" --work "$work" \
  --primitives "$work/primitives.json" --quick $quick
