#!/usr/bin/env bash
# Prepares a Debian 12 (bookworm) machine to build and test the whole project:
# native Linux build + tests, the mingw-w64 cross builds for Windows, and Wine for
# the Windows tier of the tests (tests/windows/, which fetches its own node.exe).
#
# Safe to run repeatedly: every step checks first and is skipped when its
# result is already there, so a second run finishes in a few seconds.
#
# Usage: scripts/setup-machine.sh
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

say()  { printf 'setup: %s\n' "$*"; }
die()  { printf 'setup: ERROR: %s\n' "$*" >&2; exit 1; }

# apt needs root; use sudo only when we are not root already.
if [ "$(id -u)" -eq 0 ]; then
    SUDO=()
elif command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
else
    die "not root and sudo is not installed; run this script as root"
fi
export DEBIAN_FRONTEND=noninteractive

# Node.js is provided by the machine image, not by this script: the Debian
# package is too old for the Node-API level the module targets.
command -v node >/dev/null 2>&1 || die "node not found in PATH (install Node.js >= 18 first)"
command -v npm  >/dev/null 2>&1 || die "npm not found in PATH (install Node.js >= 18 with npm first)"
say "node $(node --version), npm $(npm --version)"

# --- Debian packages --------------------------------------------------------
# mingw-w64 pulls the i686 and x86-64 C/C++ cross compilers and binutils.
# dpkg-dev is what unpacks the json-c source package below. clang and its run-time
# libraries build the fuzz target (libFuzzer with the sanitizers).
PACKAGES=(
    g++ make cmake ninja-build pkg-config
    libgtest-dev libjson-c-dev
    mingw-w64
    dpkg-dev
    valgrind
    wine wine64 python3 python3-serial
    clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done

# --- json-c source (cross-built into the Windows binaries) ------------------
JSONC_DIR="$ROOT/third_party/json-c"
need_jsonc_src=1
for d in "$JSONC_DIR"/json-c-*/; do
    if [ -f "$d/CMakeLists.txt" ]; then need_jsonc_src=0; fi
done

need_update=0
[ "${#missing[@]}" -gt 0 ] && need_update=1

if [ "$need_jsonc_src" -eq 1 ]; then
    # apt-get source needs a deb-src line (either one-line or deb822 format).
    if ! grep -rqsE '^[[:space:]]*(Types:.*\bdeb-src\b|deb-src[[:space:]])' \
            /etc/apt/sources.list /etc/apt/sources.list.d/; then
        say "adding bookworm deb-src entry"
        "${SUDO[@]}" tee /etc/apt/sources.list.d/bookworm-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
        need_update=1
    fi
    if ! compgen -G '/var/lib/apt/lists/*_source_Sources*' >/dev/null; then
        need_update=1
    fi
fi

if [ "$need_update" -eq 1 ]; then
    say "apt-get update"
    "${SUDO[@]}" apt-get update -qq
fi

if [ "${#missing[@]}" -gt 0 ]; then
    say "installing: ${missing[*]}"
    "${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
    say "Debian packages: all present"
fi

if [ "$need_jsonc_src" -eq 1 ]; then
    say "fetching json-c source package into third_party/json-c/"
    mkdir -p "$JSONC_DIR"
    # Fetch into a scratch dir first so an interrupted download never leaves
    # a half-unpacked tree that a later run would take as complete.
    tmp="$(mktemp -d "$JSONC_DIR/.fetch.XXXXXX")"
    trap 'rm -rf "$tmp" "$tmp.log"' EXIT
    if ! (cd "$tmp" && apt-get source json-c) >"$tmp.log" 2>&1; then
        cat "$tmp.log" >&2; rm -f "$tmp.log"
        die "apt-get source json-c failed"
    fi
    rm -f "$tmp.log"
    src="$(find "$tmp" -maxdepth 1 -type d -name 'json-c-*' | head -n1)"
    [ -n "$src" ] && [ -f "$src/CMakeLists.txt" ] || die "json-c source did not unpack (is dpkg-dev installed?)"
    rm -rf "$JSONC_DIR/$(basename "$src")"
    mv "$src" "$JSONC_DIR/"
    rm -rf "$tmp"
    trap - EXIT
    say "json-c source: third_party/json-c/$(basename "$src")"
else
    say "json-c source: present"
fi

# --- npm: Node-API headers --------------------------------------------------
want=""
if [ -f package-lock.json ]; then
    want="$(node -p 'try { require("./package-lock.json").packages["node_modules/node-api-headers"].version } catch (e) { "" }')"
fi
have="$(node -p 'try { require("./node_modules/node-api-headers/package.json").version } catch (e) { "" }')"
if [ -n "$have" ] && [ "$have" = "$want" ]; then
    say "node-api-headers $have: present"
elif [ -f package-lock.json ]; then
    say "npm ci"
    npm ci --no-audit --no-fund --loglevel=error
else
    say "npm install"
    npm install --no-audit --no-fund --loglevel=error
fi

say "done"
