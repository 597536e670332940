#!/usr/bin/env bash
# Builds keymend and runs its main job on the bundled sample: the key of examples/sample.pfx
# (PKCS#12 password "sample") goes into a new container in a temporary reader folder, whose files
# are listed; -kvpublic then recovers the public key from the container, and it is shown beside
# the public key of the certificate in the PKCS#12 file.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYMEND_TESTS=OFF >/dev/null
cmake --build build-demo -j"$(nproc 2>/dev/null || echo 2)" --target keymend >/dev/null
keymend=build-demo/keymend

reader="$(mktemp -d)"
trap 'rm -rf "$reader"' EXIT
hexdump() { od -An -v -tx1 "$@" | tr -d ' \n'; }

echo "\$ keymend -p12tokv -rdrfolder $reader -contname sample -sg -infile examples/sample.pfx -passp12 sample -passkv 12345678"
"$keymend" -p12tokv -rdrfolder "$reader" -contname sample -sg -infile examples/sample.pfx \
  -passp12 sample -passkv 12345678
container="$reader/sample.000"
echo
echo "\$ ls -l $container"
ls -l "$container"
echo
echo "\$ keymend -kvpublic -contfolder $container -passkv 12345678"
"$keymend" -kvpublic -contfolder "$container" -passkv 12345678
echo
echo "public1 (0x04, length, x || y little-endian):"
echo "  $(hexdump "$container/public1")"
if openssl engine gost >/dev/null 2>&1; then
  echo "public key in the certificate of examples/sample.pfx (as OpenSSL reads it):"
  cert_key="$(openssl pkcs12 -engine gost -in examples/sample.pfx -passin pass:sample -nokeys 2>/dev/null |
    openssl x509 -engine gost -noout -pubkey 2>/dev/null |
    openssl pkey -engine gost -pubin -outform DER 2>/dev/null | hexdump)"
  echo "  ${cert_key: -132}"
  if [ "${cert_key: -132}" = "$(hexdump "$container/public1")" ]; then echo "They match."
  else echo "They differ!"; exit 1; fi
fi
