#!/usr/bin/env bash
# Checks a cross-built Windows binary for the properties Windows (and Node)
# will hold us to but that a Linux build cannot notice on its own.
#
# Usage:
#   scripts/check-pe.sh <file> module:<name>:<arch> [<link map>]   # a Node module <name>.node
#   scripts/check-pe.sh <file> console:<arch>         # a console program
#   <arch> is i686 or x86_64.
#
# module:  PE32 (i686) / PE32+ (x86_64) DLL; exactly one export,
#          _register_<name>_, and the export directory names <name>.node;
#          node.exe is not a normal import (it must be a delay import);
#          only Windows system DLLs are imported; with the link map, each of
#          the four Node-API delay-import slots holds the address of its load
#          stub (a slot left 0 crashes the module while it loads).
# console: PE32 / PE32+ executable, console subsystem, only Windows system
#          DLLs imported, and an RT_MANIFEST resource with ID 1 asking for
#          requireAdministrator with uiAccess="false".
#
# Extra DLLs may be allowed with CHECK_PE_EXTRA_DLLS="foo.dll bar.dll".
# Prints one line per check; exits 1 if any check fails, 2 on usage errors.
set -uo pipefail

usage() {
    echo "usage: $0 <file> module:<name>:<arch> | console:<arch>   (arch: i686|x86_64)" >&2
    exit 2
}
[ $# -eq 2 ] || [ $# -eq 3 ] || usage
FILE="$1"
KIND="$2"
MAP="${3:-}"

IFS=: read -r kind f2 f3 extra <<<"$KIND"
[ -z "${extra:-}" ] || usage
case "$kind" in
    module)  MODNAME="$f2"; ARCH="$f3"; [ -n "$MODNAME" ] || usage ;;
    console) ARCH="$f2"; [ -z "$f3" ] || usage ;;
    *) usage ;;
esac
case "$ARCH" in
    i686|x86)            ARCH=i686;   TRIPLE=i686-w64-mingw32;   WANT_MAGIC=PE32;  WANT_FMT=pei-i386 ;;
    x86_64|x86-64|amd64) ARCH=x86_64; TRIPLE=x86_64-w64-mingw32; WANT_MAGIC=PE32+; WANT_FMT=pei-x86-64 ;;
    *) usage ;;
esac

OBJDUMP="${TRIPLE}-objdump"
command -v "$OBJDUMP" >/dev/null 2>&1 || { echo "FAIL: $OBJDUMP not found (install mingw-w64)" >&2; exit 2; }
[ -f "$FILE" ] || { echo "FAIL: $FILE: no such file" >&2; exit 2; }

failures=0
pass() { printf 'ok:   %s: %s\n' "$(basename "$FILE")" "$*"; }
fail() { printf 'FAIL: %s: %s\n' "$(basename "$FILE")" "$*"; failures=$((failures + 1)); }

if ! P="$("$OBJDUMP" -p "$FILE" 2>&1)"; then
    echo "FAIL: $FILE: $OBJDUMP -p could not read it as PE:" >&2
    printf '%s\n' "$P" | head -n 5 >&2
    exit 1
fi

# --- header -----------------------------------------------------------------
fmt="$(printf '%s\n' "$P" | sed -n 's/.*file format \([^ ]*\).*/\1/p' | head -n1)"
magic="$(printf '%s\n' "$P" | awk '$1 == "Magic" { gsub(/[()]/, "", $3); print $3; exit }')"
if [ "$fmt" = "$WANT_FMT" ] && [ "$magic" = "$WANT_MAGIC" ]; then
    pass "format $fmt ($magic) for $ARCH"
else
    fail "format is '${fmt:-?}' (${magic:-?}), want $WANT_FMT ($WANT_MAGIC) for $ARCH"
fi

# Characteristics flags are listed one per line after the header line.
is_dll="$(printf '%s\n' "$P" | awk '
    /^Characteristics/ { inside = 1; next }
    inside && /^$/     { exit }
    inside && $0 ~ /^\tDLL$/ { print "yes"; exit }')"

# --- imports ----------------------------------------------------------------
ALLOWED="kernel32.dll advapi32.dll setupapi.dll newdev.dll shlwapi.dll msvcrt.dll user32.dll ntdll.dll ${CHECK_PE_EXTRA_DLLS:-}"
mapfile -t imports < <(printf '%s\n' "$P" | sed -n 's/^[[:space:]]*DLL Name: \(.*\)$/\1/p' | tr -d '\r')

check_imports() {
    local bad=() d lc ok a
    for d in "${imports[@]}"; do
        lc="$(printf '%s' "$d" | tr '[:upper:]' '[:lower:]')"
        ok=0
        case "$lc" in api-ms-win-crt-*.dll) ok=1 ;; esac
        for a in $ALLOWED; do
            [ "$lc" = "$(printf '%s' "$a" | tr '[:upper:]' '[:lower:]')" ] && ok=1
        done
        [ "$ok" -eq 1 ] || bad+=("$d")
    done
    if [ "${#imports[@]}" -eq 0 ]; then
        fail "no import table found"
    elif [ "${#bad[@]}" -eq 0 ]; then
        pass "imports only system DLLs: $(printf '%s\n' "${imports[@]}" | sort -uf | paste -sd' ')"
    else
        fail "imports non-system DLL(s): ${bad[*]} (runtime libraries must be linked statically)"
    fi
}

# --- module -----------------------------------------------------------------
if [ "$kind" = module ]; then
    if [ "$is_dll" = yes ]; then pass "is a DLL"; else fail "is not a DLL (Characteristics lack DLL)"; fi

    if ! grep -q '^There is an export table' <<<"$P"; then
        fail "has no export table"
    else
        exp_dll="$(printf '%s\n' "$P" | awk '/^There is an export table/ { e = 1 } e && $1 == "Name" { print $3; exit }')"
        if [ "$exp_dll" = "$MODNAME.node" ]; then
            pass "export directory name is $exp_dll"
        else
            fail "export directory name is '${exp_dll}', want '$MODNAME.node'"
        fi
        mapfile -t names < <(printf '%s\n' "$P" | awk '
            /^\[Ordinal\/Name Pointer\] Table/ { t = 1; next }
            t && /^[[:space:]]*$/ { exit }
            t { sub(/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]*/, ""); print }')
        n_eat="$(printf '%s\n' "$P" | awk '
            /^Export Address Table -- / { t = 1; next }
            t && /^[[:space:]]*$/ { exit }
            t { n++ } END { print n + 0 }')"
        want="_register_${MODNAME}_"
        if [ "${#names[@]}" -eq 1 ] && [ "${names[0]}" = "$want" ] && [ "$n_eat" -eq 1 ]; then
            pass "exports exactly one symbol: $want"
        else
            shown="${names[*]:0:8}"; [ "${#names[@]}" -gt 8 ] && shown="$shown ..."
            fail "exports ${n_eat} address(es) / ${#names[@]} name(s) [$shown], want exactly '$want'"
        fi
    fi

    node_normal=""
    for d in "${imports[@]}"; do
        [ "$(printf '%s' "$d" | tr '[:upper:]' '[:lower:]')" = node.exe ] && node_normal="$d"
    done
    if [ -z "$node_normal" ]; then
        pass "node.exe is not a normal import"
    else
        fail "imports $node_normal directly; Node-API must be delay-imported"
    fi
    check_imports
fi

# --- console program --------------------------------------------------------
if [ "$kind" = console ]; then
    if [ "$is_dll" = yes ]; then fail "is a DLL, want an executable"; else pass "is an executable"; fi

    subsys="$(printf '%s\n' "$P" | awk -F'\t+' '$1 == "Subsystem" { print $3; exit }')"
    if [ "$subsys" = "(Windows CUI)" ]; then
        pass "subsystem Windows CUI (console)"
    else
        fail "subsystem is '${subsys:-?}', want (Windows CUI)"
    fi
    check_imports

    # Walk objdump's resource tree: depth is given by the indentation after
    # the offset column (type entries 3 spaces, name entries 5, leaves 8).
    # Print "<name id> <rva> <size>" for every RT_MANIFEST (type 24) leaf.
    leaves="$(printf '%s\n' "$P" | awk '
        /^The \.rsrc Resource Directory section/ { r = 1; next }
        r && /^ Resources start/ { exit }
        r {
            if (!match($0, /^[0-9a-fA-F]+ +/)) next
            depth = RLENGTH - length($1)
            if ($0 ~ /Entry: ID:/) {
                id = $0; sub(/.*Entry: ID: /, "", id); sub(/,.*/, "", id)
                if (depth == 3) type = id; else if (depth == 5) name = id
            } else if ($0 ~ /Entry: name:/) {
                if (depth == 3) type = "named"; else if (depth == 5) name = "named"
            } else if ($0 ~ /Leaf: Addr:/) {
                a = $0; sub(/.*Addr: /, "", a); sub(/,.*/, "", a)
                s = $0; sub(/.*Size: /, "", s); sub(/,.*/, "", s)
                if (type == "0x000018") print name, a, s
            }
        }')"
    if [ -z "$leaves" ]; then
        fail "no RT_MANIFEST resource"
    else
        read -r man_id man_rva man_size <<<"$(printf '%s\n' "$leaves" | head -n1)"
        if [ "$((man_id))" -eq 1 ]; then
            pass "RT_MANIFEST resource with ID 1"
        else
            fail "RT_MANIFEST resource has ID $man_id; an executable's manifest must be ID 1"
        fi
        image_base="$(printf '%s\n' "$P" | awk '$1 == "ImageBase" { print $2; exit }')"
        # Map the RVA to a file offset through the section that contains it
        # (shell arithmetic: Debian's default awk has no hex conversion).
        off=""
        while read -r _idx _name size vma _lma foff _align; do
            case "$_idx" in (*[!0-9]*|'') continue ;; esac
            v=$((16#$vma - 16#$image_base))
            if [ "$((man_rva))" -ge "$v" ] && [ "$((man_rva))" -lt "$((v + 16#$size))" ]; then
                off=$((man_rva - v + 16#$foff)); break
            fi
        done < <("$OBJDUMP" -h "$FILE")
        if [ -z "$off" ]; then
            fail "RT_MANIFEST data at RVA $man_rva lies in no section"
        else
            # UTF-16 manifests become readable once NULs are dropped.
            text="$(tail -c +"$((off + 1))" "$FILE" | head -c "$((man_size))" | tr -d '\000' | tr '\r\n\t' '   ')"
            elem="$(printf '%s' "$text" | grep -o '<[^<>]*requestedExecutionLevel[^<>]*>' | head -n1)"
            if [ -z "$elem" ]; then
                fail "manifest has no requestedExecutionLevel element"
            else
                if grep -Eq "[[:space:]]level[[:space:]]*=[[:space:]]*[\"']requireAdministrator[\"']" <<<"$elem"; then
                    pass "manifest requestedExecutionLevel level=\"requireAdministrator\""
                else
                    fail "manifest requestedExecutionLevel lacks level=\"requireAdministrator\": $elem"
                fi
                if grep -Eq "[[:space:]]uiAccess[[:space:]]*=[[:space:]]*[\"']false[\"']" <<<"$elem"; then
                    pass "manifest requestedExecutionLevel uiAccess=\"false\""
                else
                    fail "manifest requestedExecutionLevel lacks uiAccess=\"false\": $elem"
                fi
            fi
        fi
    fi
fi

# --- Node-API delay-import slots (module, with its link map) -------------------
if [ "$kind" = module ] && [ -n "$MAP" ]; then
    slot_size=4; [ "$ARCH" = x86_64 ] && slot_size=8
    for fn in napi_module_register napi_create_function napi_set_named_property napi_create_string_utf8; do
        addr="$(awk -v fn="$fn" '$2 == "_imp__" fn || $2 == "__imp_" fn { print $1; exit }' "$MAP")"
        if [ -z "$addr" ]; then
            fail "link map has no delay-import slot for $fn"
            continue
        fi
        end="$(printf '0x%x' "$((addr + slot_size))")"
        # The slot's bytes as hex words, without objdump's ASCII column.
        words="$("$OBJDUMP" -s --start-address="$addr" --stop-address="$end" "$FILE" |
                 awk -v n="$((slot_size / 4))" '/^ [0-9a-f]+ / { w = ""; for (i = 2; i < 2 + n; i++) w = w $i; print w; exit }')"
        if [ -z "$words" ] || [ -z "${words//0/}" ]; then
            fail "delay-import slot of $fn at $addr is 0: its load stub was dropped"
        else
            pass "delay-import slot of $fn points to its load stub"
        fi
    done
fi

if [ "$failures" -gt 0 ]; then
    printf 'check-pe: %s: %d check(s) failed\n' "$FILE" "$failures" >&2
    exit 1
fi
exit 0
