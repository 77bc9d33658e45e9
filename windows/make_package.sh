#!/bin/sh
# make_package.sh - on a fresh Debian 12 machine, one command from the
# repository's root that builds the test-signed driver package:
#
#   sh windows/make_package.sh
#
# Installs what is missing (as root, with apt-get: the mingw-w64 cross
# compilers, cmake, g++, OpenSSL, osslsigncode, gcab), configures the release
# build and builds only the package (target bridgeser_package). The package
# folder is then build/release/windows/signed/package, the attestation
# cabinet build/release/windows/signed/bridgeser-attestation.cab, and the
# test certificate's key stays in build/release/windows/signed/test-certificate.
set -eu
cd "$(dirname "$0")/.."

packages="cmake g++ libgtest-dev libbenchmark-dev libcli11-dev
          g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
          g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
          libssl-dev openssl osslsigncode gcab"
missing=
for p in $packages; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing:$missing; as root: apt-get install$missing" >&2
    exit 1
  fi
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
fi

cmake --preset release >/dev/null
cmake --build --preset release --target bridgeser_package
