#!/usr/bin/env bash
# run_compare.sh WINE64 WIN_BIN LINUX_BIN CASES OUT: runs lumatrice-probe on
# the cases for the Linux module and, under Wine, for the Windows module,
# then compares the two. The Wine prefix lives in OUT; the wineserver this
# starts is stopped on every way out.
set -euo pipefail
wine64=$1 win_bin=$2 linux_bin=$3 cases=$4 out=$5
mkdir -p "$out/linux" "$out/windows"
rm -f "$out"/linux/* "$out"/windows/*
export WINEPREFIX="$out/prefix" WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
wineserver=$(dirname "$wine64")/wineserver
stop_wine() { "$wineserver" -k 2>/dev/null || true; }
trap stop_wine EXIT

"$linux_bin/lumatrice-probe" "$linux_bin/Lumatrice.dlv" "$cases" "$out/linux"
[ -f "$WINEPREFIX/system.reg" ] || "$wine64" wineboot -i >/dev/null 2>&1
(cd "$win_bin" && "$wine64" lumatrice-probe.exe Lumatrice.dlv "Z:$cases" "Z:$out/windows") 2>&1
"$linux_bin/probe_compare" "$cases" "$out/linux" "$out/windows"
