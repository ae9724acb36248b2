#!/bin/sh
# Guest job of the image's first boot: make the Wine prefix, which stays in
# the image (later boots run on a throwaway overlay of it).
. /mnt/share/env.sh
echo "prefix: $(wine --version) at $(uptime_s) s"
WINEDEBUG=err+all wineboot -i >"$out/wineboot.txt" 2>&1
rc=$?
# The registry is written when the server exits: wait for that.
wineserver -w
echo "prefix: wineboot -i exit $rc, server gone at $(uptime_s) s"
[ "$rc" -eq 0 ] && [ -f "$WINEPREFIX/system.reg" ] && [ -d "$WINEPREFIX/drive_c/windows/system32/drivers" ]
