#!/bin/sh
# package_check.sh - builds the test-signed package and the attestation
# cabinet with sign_package.sh into a folder of its own, then checks what a
# test machine and the signing service will check:
#   - each image's own Authenticode signature verifies against the test
#     certificate, and the image still passes pe_image check (the signing
#     tool rewrote its checksum);
#   - `osslsigncode verify -catalog bridgeser.cat` accepts each image, and
#     refuses a copy of it with one byte of code changed;
#   - the catalog holds the SHA-256 hash of the INF as it is in the package;
#   - the cabinet holds the INF, the catalog, and each image with its PDB.
#
#   package_check.sh PROJECT_DIR BUILD_DIR OUT_DIR
#
# Exit status 77 (skipped) where osslsigncode or gcab is not installed.
set -u
project=$1
build=$2
out=$3
for tool in osslsigncode gcab openssl; do
  command -v $tool >/dev/null || { echo "$tool not found: the package check is skipped"; exit 77; }
done
rm -rf "$out"
sh "$project/windows/sign_package.sh" --cab "$build" "$out" || { echo "FAIL: sign_package.sh"; exit 1; }
package=$out/package
cert=$out/test-certificate/cert.pem
failures=0
check() {  # check DESCRIPTION COMMAND...
  what=$1
  shift
  if "$@" >"$out/check.log" 2>&1; then echo "ok   $what"; else
    echo "FAIL $what"; tail -n 15 "$out/check.log"; failures=$((failures + 1)); fi
}
refused_by_catalog() {  # the image is refused, and for its hash, not its signature
  # (osslsigncode 2.9 says "Catalog verification: failed", 2.5 "File not found
  # in the specified catalog")
  ! osslsigncode verify -CAfile "$cert" -catalog "$package/bridgeser.cat" -in "$1" >"$out/refused.log" 2>&1 &&
    grep -q -e "Catalog verification: failed" -e "not found in the specified catalog" "$out/refused.log"
}
for arch in x64 x86; do
  image=$package/$arch/bridgeser.sys
  check "$arch image: its signature verifies" osslsigncode verify -CAfile "$cert" -in "$image"
  check "$arch image: pe_image check after signing" "$build/pe_image" check "$image"
  check "$arch image: accepted by the catalog" \
    osslsigncode verify -CAfile "$cert" -catalog "$package/bridgeser.cat" -in "$image"
  # One byte of the first section's code, flipped.
  changed=$out/$arch-changed.sys
  cp "$image" "$changed"
  offset=$((0x400 + 64))
  byte=$(od -An -tu1 -j $offset -N1 "$changed" | tr -d ' ')
  printf "\\$(printf '%03o' $(((byte + 1) % 256)))" | dd of="$changed" bs=1 seek=$offset conv=notrunc 2>/dev/null
  check "$arch image with one byte changed: refused by the catalog" refused_by_catalog "$changed"
done
inf_hash=$(openssl dgst -sha256 -r "$package/bridgeser.inf" | cut -d' ' -f1 | tr a-f A-F)
check "the catalog holds the INF's SHA-256" sh -c \
  "openssl asn1parse -inform der -in '$package/bridgeser.cat' | grep -q '$inf_hash'"
check "the package has the certificate to import" openssl x509 -inform DER -in "$package/bridgeser-test.cer" -noout
# (a cabinet names its folders with backslashes)
listing=$(gcab --list "$out/bridgeser-attestation.cab" | tr '\\' / | sort | tr '\n' ' ')
expected="bridgeser/bridgeser.cat bridgeser/bridgeser.inf bridgeser/x64/bridgeser.pdb bridgeser/x64/bridgeser.sys bridgeser/x86/bridgeser.pdb bridgeser/x86/bridgeser.sys "
check "the cabinet holds INF, catalog, images and PDBs" test "$listing" = "$expected"
[ $failures -eq 0 ] && echo "package check: all passed" || echo "package check: $failures failed"
[ $failures -eq 0 ]
