#!/bin/sh
# Installs the udev component into a scratch prefix and checks the rule names the vendor.
# Arguments: build folder, scratch prefix, rule folder (relative), vendor ID (4 hex digits).
set -eu
build=$1 prefix=$2 dir=$3 vendor=$4
rm -rf "$prefix"
cmake --install "$build" --component udev --prefix "$prefix" >/dev/null
rule="$prefix/$dir/60-kelvo.rules"
grep -qF "ATTRS{idVendor}==\"$vendor\", ATTRS{idProduct}==\"01??\", TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"" "$rule"
[ "$(grep -c 'ENV{ID_MM_DEVICE_IGNORE}="1"' "$rule")" -eq 2 ]
grep -q '^SUBSYSTEM=="usbmisc", KERNEL=="lp\[0-9\]\*"' "$rule"
rm -rf "$prefix"
