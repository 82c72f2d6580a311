#!/usr/bin/env bash
# Starts the system D-Bus daemon, udev, udisksd and polkitd when they are not
# running, for the tests that use the real disk service. Root only.
set -euo pipefail
[ "${1:-start}" = start ] || { echo "usage: $0 start" >&2; exit 2; }

bus_answers() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.GetId >/dev/null 2>&1
}

# Tests run private dbus-daemons of their own: ask the system bus itself.
if ! bus_answers; then
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
# polkit decides who may open or unmount a device; the bus starts it on demand.
if ! pgrep -x polkitd >/dev/null; then
    dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.StartServiceByName string:org.freedesktop.PolicyKit1 uint32:0 \
        >/dev/null 2>&1 || (setsid /usr/lib/polkit-1/polkitd --no-debug >/tmp/polkitd.log 2>&1 &)
fi
for _ in $(seq 50); do
    if busctl --system status org.freedesktop.UDisks2 >/dev/null 2>&1 &&
        busctl --system status org.freedesktop.PolicyKit1 >/dev/null 2>&1; then
        exit 0
    fi
    sleep 0.2
done
echo "udisksd or polkitd did not appear on the system bus" >&2
exit 1
