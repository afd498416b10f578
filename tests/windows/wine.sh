#!/bin/sh
# Runs a Windows program of the build under Wine:  wine.sh program [args...]
# Uses a 32-bit Wine prefix of its own (PAIREX_WINEPREFIX, by default
# ~/.cache/pairex-wine), made on first use. In it, an unhandled exception
# ends the process with the exception code, as on Windows, instead of
# starting winedbg, whose crash report would go to the program's output.
set -eu

prefix=${PAIREX_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/pairex-wine}
export WINEPREFIX="$prefix"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installation prompts while the prefix is made.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

if [ ! -f "$prefix/.pairex-ready" ]; then
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        if [ ! -f "$prefix/.pairex-ready" ]; then
            wineboot --init >/dev/null 2>&1
            wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
                /v Debugger /d '' /f >/dev/null 2>&1
            wineserver --wait
            touch "$prefix/.pairex-ready"
        fi
    ) 9>"$prefix.lock"
fi

exec wine "$@"
