#!/usr/bin/env bash
# Setupsmith end to end on the product's package: its exact texts and exit codes, the product
# check, a server text stored exactly as given or refused when the package's code page can't
# hold it, and the names derived from the input path. On
# Linux the run ends with the transform; under Wine, whose msi.dll can't generate transforms,
# it ends at that step with exit 7.
# Usage: setupsmith.sh PROGRAM posix|windows PACKAGE VERSION   (VERSION as major.minor.patch)
set -uo pipefail
program=$1
platform=$2
package=$(realpath "$3")
version=$4
source "$(dirname "$0")/program_under_test.sh"
trap cleanup_work EXIT
cd "$work"

banner="Tarnwell Systems Quorvane MSI Transform Utility v$version"
usage='/? or /h            Show this usage help
/I <Input MSI>      Path to input MSI database file
/SERVER <name>      Identity server (Corvel) host name or IP address

Example:

    Setupsmith /I Quorvane_Setupx64.msi /SERVER 10.1.1.2'
special="dc1's \"dc\"; DROP TABLE \`Property\` -- ' OR '1'='1"
# Windows paths for the program under Wine, POSIX paths natively.
path() { if [ "$platform" = posix ]; then echo "$1"; else echo "${1//\//\\}"; fi; }

setupsmith() { output=$(run "$@" | tr -d '\r'); status=$?; }
server_property() { msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^SERVER\t//p'; }

setupsmith
check "no arguments: usage, exit 1" "1|$banner
$usage" "$status|$output"
for help in '/?' '-h' '/H' '?'; do
  setupsmith "$help"
  check "$help: usage, exit 1" "1|$banner
$usage" "$status|$output"
done
setupsmith /X y
check "an unknown switch is named without its prefix" "1|$banner
Invalid switch = \"X\"
$usage" "$status|$output"
setupsmith setup.msi /SERVER host
check "an argument without a prefix is an invalid parameter" "1|$banner
Invalid parameter = \"setup.msi\"
$usage" "$status|$output"
setupsmith /I setup.msi
check "no server: exit 2" "2|$banner
No server specified.
$usage" "$status|$output"
setupsmith /SERVER host
check "no input: exit 2" "2|$banner
No input MSI file specified.
$usage" "$status|$output"
setupsmith /I setup.msi /SERVER
check "a value switch at the end leaves its value missing" "2|$banner
No server specified.
$usage" "$status|$output"

# Another product's package: exit 7, the copy left behind unchanged.
cp "$package" other.msi
msibuild other.msi -q "UPDATE \`Property\` SET \`Value\` = 'Another Product' WHERE \`Property\` = 'ProductName'"
setupsmith /I other.msi /SERVER host
check "another product's package exits 7" 7 "$status"
check "the message names the package" 1 "$(grep -c '"other.msi" is not an installer package of Tarnwell Systems Quorvane.' <<<"$output")"
check "the copy is left behind" yes "$([ -f other_Modified.msi ] && echo yes || echo no)"
check "the copy is unchanged" "$(msiinfo export other.msi Property)" "$(msiinfo export other_Modified.msi Property)"

# A package that already has SERVER: the insert fails, exit 7.
cp "$package" has_server.msi
msibuild has_server.msi -q "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('SERVER', 'old.example')"
setupsmith /I has_server.msi /SERVER host
check "a package with SERVER exits 7" 7 "$status"
check "the insert is what failed" 1 "$(grep -c '^Error occured while executing view on backup MSI\.$' <<<"$output")"
check "the old SERVER stays in the copy" old.example "$(server_property has_server_Modified.msi)"

# The product's package, switches in any case and with either prefix, and a server text that
# would break (or rewrite) a statement it were pasted into.
cp "$package" Quorvane_Setupx64.msi
setupsmith -i Quorvane_Setupx64.msi -SeRvEr "$special"
check "the copy holds the server exactly as given" "$special" "$(server_property Quorvane_Setupx64_Modified.msi)"
if [ "$platform" = posix ]; then
  check "the transform is written" "0|$banner
Creating MSI transform file from input file
    \"Quorvane_Setupx64.msi\"

Finished creating transform file
    \"Quorvane_Setupx64.mst\"
    Property name \"SERVER\" set to \"$special\"" "$status|$output"
  check "the transform is there" yes "$([ -s Quorvane_Setupx64.mst ] && echo yes || echo no)"
else
  check "Wine's installer stops at the transform" 7 "$status"
  check "the failing step is named" 1 "$(grep -c '^Error occured while generating transform file\.$' <<<"$output")"
fi

# Text the package's code page can't hold (a neutral package holds ASCII only): refused with
# exit 7 before anything is written. What the code page holds is stored exactly.
cp "$package" cp1252.msi
printf '\r\n\r\n1252\t_ForceCodepage\r\n' >_ForceCodepage.idt
msibuild cp1252.msi -i _ForceCodepage.idt
for case in "Quorvane_Setupx64.msi|neutral: ASCII only|Zürich" "Quorvane_Setupx64.msi|neutral: ASCII only|Москва" \
            "Quorvane_Setupx64.msi|neutral: ASCII only|dc1-Москва" "Quorvane_Setupx64.msi|neutral: ASCII only|東京" \
            "cp1252.msi|1252|Москва" "cp1252.msi|1252|dc1-Москва" "cp1252.msi|1252|東京-dc1"; do
  IFS='|' read -r input codepage server <<<"$case"
  rm -f ./*_Modified.msi ./*.mst
  files=$(ls -A)
  setupsmith /I "$input" /SERVER "$server"
  check "$input refuses $server" "7|$banner
Creating MSI transform file from input file
    \"$input\"

The code page of \"$input\" ($codepage) can't hold the server \"$server\"." "$status|$output"
  check "nothing is written for $server" "$files" "$(ls -A)"
done
latin="Zürich-€ café"
setupsmith /I cp1252.msi /SERVER "$latin"
check "a 1252 package holds Latin text exactly" "$latin" "$(server_property cp1252_Modified.msi)"
if [ "$platform" = posix ]; then
  check "its transform is written" "0 yes" "$status $([ -s cp1252.mst ] && echo yes || echo no)"
fi

# The only "." in a folder name: the names come from it.
mkdir pkg.old pkg_Modified.old
cp "$package" pkg.old/setup
setupsmith /I "$(path pkg.old/setup)" /SERVER host
check "the copy is named from the folder's dot" yes "$([ -f pkg_Modified.old/setup ] && echo yes || echo no)"
if [ "$platform" = posix ]; then
  check "the transform is named from the folder's dot" "0 yes" "$status $([ -f pkg.mst ] && echo yes || echo no)"
fi

# A link planted under the copy's name (as root in a shared folder) is refused, not written through.
if [ "$platform" = posix ]; then
  echo "kept" >victim
  cp "$package" linked.msi
  ln -s victim linked_Modified.msi
  setupsmith /I linked.msi /SERVER host
  check "a link under the copy's name: exit 4, the linked file untouched" "4 1 kept" \
    "$status $(grep -c '^Unable to copy' <<<"$output") $(cat victim)"
fi

echo "setupsmith: $failures failed"
[ "$failures" -eq 0 ]
