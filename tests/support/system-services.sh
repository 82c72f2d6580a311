#!/usr/bin/env bash
# Starts the system D-Bus daemon, udev and udisksd when they are not running,
# for the tests that use the real disk service. Root only.
set -euo pipefail
[ "${1:-start}" = start ] || { echo "usage: $0 start" >&2; exit 2; }

if [ ! -S /run/dbus/system_bus_socket ] || ! pgrep -x dbus-daemon >/dev/null; then
    mkdir -p /run/dbus
    rm -f /run/dbus/pid /run/dbus/system_bus_socket
    dbus-daemon --system --fork
fi
if ! pgrep -x systemd-udevd >/dev/null; then
    /lib/systemd/systemd-udevd --daemon >/dev/null 2>&1 || true
fi
if ! pgrep -x udisksd >/dev/null; then
    (setsid /usr/libexec/udisks2/udisksd >/tmp/udisksd.log 2>&1 &)
fi
for _ in $(seq 50); do
    if busctl --system status org.freedesktop.UDisks2 >/dev/null 2>&1; then exit 0; fi
    sleep 0.2
done
echo "udisksd did not appear on the system bus" >&2
exit 1
