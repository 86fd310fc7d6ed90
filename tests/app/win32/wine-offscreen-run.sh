#!/bin/sh
# Runs a program of this build under Wine with Wine's offscreen graphics
# driver: windows are made and drawn in memory, where no X display is.
# $1 is the build's wine-run (which names the prefix); the rest is the command.
run="$1"
shift
prefix=$(sed -n 's/^export WINEPREFIX="\(.*\)"$/\1/p' "$run")
if ! grep -q '"Graphics"="null"' "$prefix/user.reg" 2>/dev/null; then
  (
    flock 9
    if ! grep -q '"Graphics"="null"' "$prefix/user.reg" 2>/dev/null; then
      "$run" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
      # The desktop takes its driver when it starts; let this session end.
      WINEPREFIX="$prefix" wineserver -w
    fi
  ) 9>"$prefix.graphics.lock"
fi
exec "$run" "$@"
