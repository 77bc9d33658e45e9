#!/bin/sh
# sign_package.sh - lays out the driver package that
# `pnputil /add-driver bridgeser.inf /install` takes, test-signed, and, with
# --cab, the attestation submission cabinet.
#
#   sign_package.sh [--cab] BUILD_DIR OUT_DIR
#
# BUILD_DIR is the build's windows/ folder: the stamped bridgeser.inf,
# x64/ and x86/ bridgeser.sys with their PDBs, and the catalog tool.
# OUT_DIR receives:
#   test-certificate/key.pem, cert.pem   the test signing certificate, made
#                                         once with OpenSSL and kept, so a
#                                         machine that trusts it goes on
#                                         trusting rebuilt packages
#   package/bridgeser.inf                 the INF
#   package/bridgeser.cat                 its catalog, signed
#   package/x64/bridgeser.sys             the images, signed
#   package/x86/bridgeser.sys
#   package/bridgeser-test.cer            the certificate to import (DER)
#   testbus/                              the test bus (x64), its catalog,
#                                         installer and cable test, signed,
#                                         when the build made them
#   bridgeser-attestation.cab             with --cab: INF, catalog, images
#                                         and PDBs, unsigned (signing it with
#                                         the EV certificate is the user's step)
# BRIDGESER_SIGN_CERT and BRIDGESER_SIGN_KEY (PEM) sign with another
# certificate instead of the test one. Needs openssl, osslsigncode, and gcab
# for --cab. Exit status 0 only when every signature it made verifies.
set -eu

cab=no
if [ "${1:-}" = --cab ]; then cab=yes; shift; fi
if [ $# -ne 2 ]; then
  echo "usage: sign_package.sh [--cab] BUILD_DIR OUT_DIR" >&2
  exit 2
fi
build=$1
out=$2
for tool in openssl osslsigncode; do
  command -v $tool >/dev/null || { echo "sign_package: $tool not found (Debian package $tool)" >&2; exit 1; }
done
[ $cab = no ] || command -v gcab >/dev/null || { echo "sign_package: gcab not found (Debian package gcab)" >&2; exit 1; }
for file in bridgeser.inf x64/bridgeser.sys x86/bridgeser.sys x64/bridgeser.pdb x86/bridgeser.pdb catalog; do
  [ -f "$build/$file" ] || { echo "sign_package: $build/$file missing: build the package first" >&2; exit 1; }
done

description="USB-to-serial bridge cable driver"
package=$out/package
work=$out/work
mkdir -p "$out" "$work"
rm -rf "$package"
mkdir -p "$package/x64" "$package/x86"

# The test certificate: a self-signed code-signing certificate, as
# Windows' test signing takes it (trusted by importing it into the machine's
# Trusted Root Certification Authorities and Trusted Publishers stores).
if [ -n "${BRIDGESER_SIGN_CERT:-}" ]; then
  cert=$BRIDGESER_SIGN_CERT
  key=${BRIDGESER_SIGN_KEY:?BRIDGESER_SIGN_KEY must name the key of BRIDGESER_SIGN_CERT}
else
  cert=$out/test-certificate/cert.pem
  key=$out/test-certificate/key.pem
  if [ ! -f "$cert" ] || [ ! -f "$key" ]; then
    mkdir -p "$out/test-certificate"
    openssl req -x509 -newkey rsa:3072 -sha256 -days 1095 -nodes -keyout "$key" -out "$cert" \
      -subj "/CN=bridgeser test signing (not for release)" \
      -addext "basicConstraints=critical,CA:FALSE" -addext "keyUsage=critical,digitalSignature" \
      -addext "extendedKeyUsage=codeSigning" -addext "subjectKeyIdentifier=hash" 2>"$work/openssl.log" ||
      { cat "$work/openssl.log" >&2; exit 1; }
    chmod 600 "$key"
    echo "made the test certificate $cert"
  fi
fi
openssl x509 -in "$cert" -outform DER -out "$package/bridgeser-test.cer"

# Authenticode SHA-256 signatures, no time stamp: a test signature is
# checked against the machine's own trust, with no time-stamping service.
sign() {
  osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "$description" -in "$1" -out "$2" \
    >"$work/sign.log" 2>&1 || { cat "$work/sign.log" >&2; exit 1; }
}
cp "$build/bridgeser.inf" "$package/"
for arch in x64 x86; do
  sign "$build/$arch/bridgeser.sys" "$package/$arch/bridgeser.sys"
done

# The catalog of the INF and the signed images (an image's Authenticode
# hash leaves its signature out), for the hardware IDs the INF names.
hwids=$(grep -o -i 'USB\\VID_[0-9A-F]*&PID_[0-9A-F]*' "$build/bridgeser.inf" | sort -u -f)
set --
for id in $hwids; do set -- "$@" -hwid "$id"; done
"$build/catalog" -o "$work/bridgeser.unsigned.cat" -os _v100_X64,_v100_X86 -osattr 2:10.0 "$@" \
  "$package/bridgeser.inf" "$package/x64/bridgeser.sys" "$package/x86/bridgeser.sys" >"$work/catalog.log"
sign "$work/bridgeser.unsigned.cat" "$package/bridgeser.cat"

# What was signed verifies: each image's own signature and the image
# against the catalog, both with the certificate as the only trust.
for arch in x64 x86; do
  osslsigncode verify -CAfile "$cert" -in "$package/$arch/bridgeser.sys" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log" >&2; echo "sign_package: $arch image signature does not verify" >&2; exit 1; }
  osslsigncode verify -CAfile "$cert" -catalog "$package/bridgeser.cat" -in "$package/$arch/bridgeser.sys" \
    >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log" >&2; echo "sign_package: $arch image not in the catalog" >&2; exit 1; }
done
echo "package: $package (INF, catalog and both images signed by $(openssl x509 -in "$cert" -noout -subject))"

# The test bus, for a test machine with no cable: its x64 image signed,
# its catalog, its installer and the cable test, signed the same way.
if [ -f "$build/testbus/bridgetestbus.sys" ] && [ -f "$build/bridgetestbus_install.exe" ]; then
  bus=$out/testbus
  rm -rf "$bus"
  mkdir -p "$bus"
  cp "$build/testbus/bridgetestbus.inf" "$bus/"
  sign "$build/testbus/bridgetestbus.sys" "$bus/bridgetestbus.sys"
  for program in bridgetestbus_install cable_test; do
    sign "$build/$program.exe" "$bus/$program.exe"
  done
  "$build/catalog" -o "$work/bridgetestbus.unsigned.cat" -os _v100_X64 -osattr 2:10.0 -hwid 'Root\BridgeTestBus' \
    "$bus/bridgetestbus.inf" "$bus/bridgetestbus.sys" >"$work/catalog.log"
  sign "$work/bridgetestbus.unsigned.cat" "$bus/bridgetestbus.cat"
  osslsigncode verify -CAfile "$cert" -catalog "$bus/bridgetestbus.cat" -in "$bus/bridgetestbus.sys" \
    >"$work/verify.log" 2>&1 || { cat "$work/verify.log" >&2; echo "sign_package: test bus not in its catalog" >&2; exit 1; }
  echo "test bus: $bus (for a machine with no cable)"
fi

if [ $cab = yes ]; then
  # The attestation submission: one driver folder with the INF, the
  # catalog and, per architecture, the image and its PDB. The images in it
  # may carry the test signature; the signing service signs them itself.
  stage=$work/cab
  rm -rf "$stage"
  mkdir -p "$stage/bridgeser/x64" "$stage/bridgeser/x86"
  cp "$package/bridgeser.inf" "$package/bridgeser.cat" "$stage/bridgeser/"
  for arch in x64 x86; do
    cp "$package/$arch/bridgeser.sys" "$build/$arch/bridgeser.pdb" "$stage/bridgeser/$arch/"
  done
  rm -f "$out/bridgeser-attestation.cab"
  (cd "$stage" && gcab --create --zip "$(cd "$out" && pwd)/bridgeser-attestation.cab" \
    bridgeser/bridgeser.inf bridgeser/bridgeser.cat bridgeser/x64/bridgeser.sys bridgeser/x64/bridgeser.pdb \
    bridgeser/x86/bridgeser.sys bridgeser/x86/bridgeser.pdb)
  echo "attestation submission: $out/bridgeser-attestation.cab (sign it with your EV certificate)"
fi
