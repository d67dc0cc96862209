#!/bin/sh
# Makes fuzz/corpus/package_fuzzer/ from the product's installer source: the package with
# stand-in programs of two bytes (so that it stays small), neutral and with code page 1252,
# each as the package file and as the list of streams that package_fuzzer also reads.
#   fuzz/make_package_seeds.sh PACKAGE_FUZZER
set -eu
fuzzer=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/qv-seed-XXXXXX)
trap 'rm -rf "$work"' EXIT
out="$here/corpus/package_fuzzer"
mkdir -p "$out"
cd "$work"
printf 'MZ' >Quorvane.exe
printf 'MZ' >Setupsmith.exe
wixl -a x64 -D QuorvaneExe=Quorvane.exe -D SetupsmithExe=Setupsmith.exe -D ProductVersion=1.2.5 \
  -o neutral.msi "$here/../installer/Quorvane.wxs"
cp neutral.msi cp1252.msi
printf '\r\n\r\n1252\t_ForceCodepage\r\n' >_ForceCodepage.idt
msibuild cp1252.msi -i _ForceCodepage.idt
for package in neutral cp1252; do
  cp "$package.msi" "$out/$package.msi"
  "$fuzzer" --streams-from="$package.msi" --streams-to="$out/$package.streams"
done
