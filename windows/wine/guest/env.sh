# The environment of every Wine command in the guest (sourced).
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root WINEPREFIX=/root/.wine WINEARCH=win32 LANG=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
# No Mono or Gecko (there is no network, and nothing here needs them), no
# desktop menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
out=/mnt/share/out
uptime_s() { cut -d' ' -f1 /proc/uptime; }
