#!/usr/bin/env bash
# build-msi.sh WARDERON_EXE README VERSION OUT_MSI
# The Windows installer from a built warderon.exe (stripped here), made on
# Linux with wixl (Debian package wixl).
set -euo pipefail
exe=$1 readme=$2 version=$3 out=$4
here=$(cd "$(dirname "$0")" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
x86_64-w64-mingw32-strip -o "$stage/warderon.exe" "$exe"
cp "$readme" "$stage/README.md"
cp "$here/warderon.wxs" "$stage/"
# wixl resolves the sources relative to the folder it runs in.
(cd "$stage" && wixl -a x64 -D Version="$version" -o warderon.msi warderon.wxs)
mkdir -p "$(dirname "$out")"
mv "$stage/warderon.msi" "$out"
