#!/usr/bin/env bash
# The demo: a whole installation on a simulated Windows 2000 machine.
#
#   scripts/demo.sh [BUILD] [PRESET] [OPTIONS]
#
# BUILD is a built Linux flavour (default ./build), PRESET one of the machines
# of `winsim presets` (default: the typical unattended run), OPTIONS the
# command line of SETUP.EXE (default /X). The installer runs from the media in
# a fresh machine folder; when it asks for a restart the machine is started
# again (the service phase, or the RunOnce logon) until nothing more is
# asked; at the end the script shows what changed on the machine.
set -euo pipefail

BUILD=${1:-./build}
PRESET=${2:-default}
OPTIONS=${3:-/X}
WINSIM="$BUILD/winsim"
if [[ ! -x $WINSIM ]]; then
  echo "demo: no winsim in $BUILD (build the Linux flavour first)" >&2
  exit 2
fi
WORK=$(mktemp -d "${TMPDIR:-/tmp}/korpa-demo.XXXXXX")
MACHINE="$WORK/machine"

section() { printf '\n=== %s\n' "$*"; }
indent() { sed 's/^/    /'; }

description=$("$WINSIM" presets | awk -v p="$PRESET" '$1 == p { $1 = ""; sub(/^ +/, ""); print }')
if [[ -z $description ]]; then
  echo "demo: unknown preset $PRESET; the presets are:" >&2
  "$WINSIM" presets >&2
  exit 2
fi
"$WINSIM" create "$MACHINE" --preset "$PRESET" > /dev/null

section "Machine '$PRESET': $description"
echo "    folder $MACHINE"
"$WINSIM" show "$MACHINE" | awk '
  /^Devices:/ { devices = 1; next }
  /^Registry/ { exit }
  devices && /^  [^ ]/ { id = $1; family = ($0 ~ /1D3C|MGTPROC|QRV/) }
  devices && /^  [^ ]/ && family { print "    device " id }'

section "Phase one: D:\\WIN2000\\SETUP.EXE $OPTIONS (console)"
set +e
# shellcheck disable=SC2086 # the options are words of the command line
"$WINSIM" run "$MACHINE" --cwd 'D:\WIN2000' --report "$WORK/report.json" -- "D:\\WIN2000\\SETUP.EXE $OPTIONS" \
  < /dev/null | indent
code=${PIPESTATUS[0]}
set -e
# The before.json of the first run holds the machine before the installation.
cp "$MACHINE/before.json" "$WORK/before-install.json"
echo
echo "    exit code $code$(case $code in
  0) echo ': installation complete' ;;
  1) echo ': complete, restart needed (or the second phase scheduled)' ;;
  2) echo ': installation failed' ;;
  8) echo ': the legacy setup program failed' ;;
esac)"
echo "    left open at exit: $(grep -o '"openHandles": [0-9]*' "$WORK/report.json" | grep -o '[0-9]*$') handles," \
  "$(grep -o '"heapBlocks": [0-9]*' "$WORK/report.json" | grep -o '[0-9]*$') heap blocks"

starts=0
while [[ $code -eq 1 || -n $(sed -n '/^Reboot requests: [1-9]/p' <("$WINSIM" show "$MACHINE")) ]] && ((starts < 3)); do
  starts=$((starts + 1))
  section "Restart $starts of Windows (winsim restart)"
  "$WINSIM" restart "$MACHINE" | indent
  code=0
done

# What the whole installation changed: from the state before phase one.
cp "$WORK/before-install.json" "$MACHINE/before.json"
section "What changed on the machine (winsim changes, summed up)"
"$WINSIM" changes "$MACHINE" | awk '
  function note(text) { print "    " text }
  / files \/ C\/WINNT\/system32\/drivers\/korpa/ { staged++; next }
  / files \// { sub(/ files \/ /, " file "); note($0); next }
  /^[+-] devices \/ .* \/ instanceId = / { note(($1 == "+" ? "+ device " : "- device ") $4); next }
  / devices \/ .* \/ (present|boundInf|restartAsked) / { sub(/ devices \/ /, " device "); note($0); next }
  / registry \/ HKLM\\SYSTEM\\CurrentControlSet\\(Enum|Control\\Class)\\/ { pnp++; next }
  /^- registry \/ HKLM\\SYSTEM\\CurrentControlSet\\Control \/ path / { next }
  /^[+-] registry \/ .* \/ path / { note(($1 == "+" ? "+ key " : "- key ") $4); next }
  /^~ registry \/ .* \/ values \/ / || /^- registry \/ .* \/ values \// { note($0); next }
  / (rebootRequests|eventLog|extra \/ rebootsHonoured)/ { note($0); next }
  END {
    if (pnp) note("~ " pnp " values and keys of the Plug and Play database (Enum, Control\\Class)")
    if (staged) note("+ " staged " files and folders of the staging tree C:\\WINNT\\system32\\drivers\\korpa")
  }'

section "The machine now (winsim show, the family's part)"
"$WINSIM" show "$MACHINE" | awk '
  /^Devices:/ { part = "devices"; print "    Devices of the family:"; next }
  /^Registry/ { part = "registry"; print "    Services of the family and RunOnce:"; next }
  /^Service states:/ { part = "states"; next }
  /^Event log:/ { part = "events"; print "    Event log:"; next }
  /^Reboot requests:/ { part = ""; print "    " $0; next }
  /^Programs run:/ { part = "programs"; print "    Programs run:"; next }
  part == "devices" && /^  [^ ]/ { family = ($0 ~ /1D3C|MGTPROC|QRV/) }
  part == "devices" && family && /^  [^ ]/ { line = "      " $1 (NF > 1 ? " " $2 " " $3 " " $4 : "") }
  part == "devices" && family && /driver:/ { sub(/^ +driver: /, ""); print line "\n        driver " $0 }
  part == "registry" && /^    [^ ]/ { show = ($1 ~ /^(qrv|mpsetup)/); if (show) print "      service " $1 }
  part == "registry" && show && /DisplayName|ImagePath/ { sub(/^ +/, ""); print "        " $0 }
  part == "registry" && /RunOnce/ { runonce = 1; print "      RunOnce:"; next }
  part == "registry" && runonce && /^    / { sub(/^ +/, ""); print "        " $0 }
  part == "events" || part == "programs" { print "    " $0 }'
echo
echo "(machine folder: $MACHINE; look further with $WINSIM show $MACHINE)"
