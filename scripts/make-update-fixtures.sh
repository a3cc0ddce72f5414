#!/usr/bin/env bash
# Makes the signed update-manifest fixtures (tests/update/fixtures/*.json) and the public key that the
# program checks them with (update/ManifestKey.h).
#
#   scripts/make-update-fixtures.sh            a fresh 3072-bit key pair; the private half is deleted
#                                              when the script ends, so the fixtures can only be remade
#                                              together with a new compiled key
#   scripts/make-update-fixtures.sh KEY.pem    re-signs with an existing private key kept outside the
#                                              repository (the compiled key is rewritten from it)
#
# Never commit a private key. Needs openssl and coreutils only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/tests/update/fixtures
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ $# -ge 1 ]; then
  key=$1
else
  key=$work/key.pem
  openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$key"
fi

# Public-key blob: magic "RSA1", bit length, exponent length, modulus length, two zero prime lengths
# (little-endian 32-bit words), then the big-endian exponent and modulus.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
hexbytes() { sed 's/../\\x&/g'; }
modulus=$(openssl rsa -in "$key" -noout -modulus 2>/dev/null | sed 's/^Modulus=//' | tr 'A-F' 'a-f')
exponent=$(openssl rsa -in "$key" -noout -text 2>/dev/null | sed -n 's/^publicExponent: [0-9]* (0x\([0-9a-f]*\))$/\1/p')
[ $((${#exponent} % 2)) -eq 1 ] && exponent=0$exponent
bits=$((${#modulus} * 4))
printf '%b' "$(le32 0x31415352)$(le32 $bits)$(le32 $((${#exponent} / 2)))$(le32 $((${#modulus} / 2)))$(le32 0)$(le32 0)" \
  "$(echo -n "$exponent" | hexbytes)" "$(echo -n "$modulus" | hexbytes)" > "$work/blob.bin"
blob=$(base64 -w0 "$work/blob.bin")

cat > "$root/update/ManifestKey.h" <<KEY
#pragma once

// Public half of the key pair that signs the update feed's manifests (key id "zelvo-playout-2026-01"),
// written by scripts/make-update-fixtures.sh as base64 text of an RSA public-key blob.
namespace ManifestKey {
inline constexpr char publicKeyBase64[] =
    "$blob";
}
KEY

# One fixture: name, then payload members that replace the valid ones.
version='v999.0.0 (build 0001)'
file='releases/ZelvoPlayout-v999.0.0-setup.exe'
sha='3f1b5e0a0c6ce0f9f5b1d2b7d8a0c6e4b0e2d7f1a9c3b5d7e9f1a3c5b7d9e1f3'
size=27
product='zelvo-playout'
platform='windows-x64'
channel='preview'
notes='{"en": ["Test-only fixture release; never published."], "pt-BR": ["Versão apenas de teste; nunca publicada."]}'

sign() { # name
  local payload=$work/$1.payload
  printf '{"schema": 1, "product": "%s", "channel": "%s", "platform": "%s", "version": "%s", "artifacts": {"setup": {"file": "%s", "sha256": "%s", "size": %s}}, "notes": %s, "source_commit": "0000000000000000000000000000000000000000"}' \
    "$product" "$channel" "$platform" "$version" "$file" "$sha" "$size" "$notes" > "$payload"
  openssl dgst -sha256 -sign "$key" -out "$work/$1.sig" "$payload"
  printf '{\n    "key_id": "zelvo-playout-2026-01",\n    "payload": "%s",\n    "signature": "%s"\n}\n' \
    "$(base64 -w0 "$payload")" "$(base64 -w0 "$work/$1.sig")" > "$out/$1.json"
}

mkdir -p "$out"
sign valid
(product='zelvo-studio'; sign product)
(platform='linux-arm64'; sign platform)
(channel='stable'; sign channel)
(version='v999.0.0 (build 001)'; sign version)
(file='releases/ZelvoPlayout-v999.0.0/../../private/ZelvoPlayout-v999.0.0-setup.exe'; sign path)
(file='https://downloads.invalid/updates/releases/ZelvoPlayout-v999.0.0-setup.exe'; sign url)
(size=536870913; sign size)
(sha=$(echo -n "$sha" | tr 'a-f' 'A-F'); sign hash)
(notes='{"en": ["Test-only fixture release; never published."]}'; sign notes)
echo "wrote $out and update/ManifestKey.h (key blob ${#blob} characters)"
