#!/usr/bin/env bash
# Builds the Debian package from a built tree into a temporary folder,
# unpacks it there and checks what a user would get from it: the programs,
# the desktop entry with its icon in every size, the service unit and the
# package's dependencies.
#   check_package.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  for package in libavahi-client3 libssl3; do
  [[ ",$depends," =~ [\ ,]$package[\ ,\(] ]] || fail "Depends lacks $package: $depends"
done
recommends=$(dpkg-deb -f "$deb" Recommends)
[[ ",$recommends," =~ [\ ,]avahi-daemon[\ ,\(] ]] || fail "Recommends lacks avahi-daemon: $recommends"
grep -q -- '--allow' "$unit" || fail "the unit does not note the access options"
echo "package check: $*" >&2
  exit 1
}

if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack failed"
fi
debs=("$work"/out/parlivo-server_*.deb)
[ -f "${debs[0]}" ] || fail "no parlivo-server_*.deb was built"
deb=${debs[0]}
root=$work/root
dpkg-deb -x "$deb" "$root"

for program in parlivo-server parlivo-client parlivo-chat parlivo-bench; do
  [ -x "$root/usr/bin/$program" ] || fail "usr/bin/$program is missing or not executable"
done
"$root/usr/bin/parlivo-server" --version | grep -q '^parlivo-server ' || fail "the packaged server does not run"
"$root/usr/bin/parlivo-client" --version | grep -q '^parlivo-client ' || fail "the packaged client does not run"

entry=$root/usr/share/applications/parlivo-server.desktop
[ -f "$entry" ] || fail "no desktop entry"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$entry" || fail "the desktop entry is not valid"
fi
grep -qx 'Exec=parlivo-server' "$entry" || fail "the desktop entry does not start parlivo-server"
grep -qE '^Categories=(.*;)?Network;' "$entry" || fail "the desktop entry is not in the Network category"
client_entry=$root/usr/share/applications/parlivo-client.desktop
[ -f "$client_entry" ] || fail "no desktop entry for the client"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$client_entry" || fail "the client's desktop entry is not valid"
fi
grep -qx 'Exec=parlivo-client' "$client_entry" || fail "the client's desktop entry does not start parlivo-client"
grep -qx "$(grep '^Icon=' "$entry")" "$client_entry" || fail "the client's desktop entry names another icon"
icon=$(sed -n 's/^Icon=//p' "$entry")
[ -n "$icon" ] || fail "the desktop entry names no icon"

# Each icon must be a PNG of its folder's size: the width and height are
# the two big-endian words after the PNG signature and the IHDR header.
for size in 16 24 32 48 64 128 256; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png
  [ -f "$png" ] || fail "no ${size}x${size} icon"
  header=$(od -An -tx1 -N24 "$png" | tr -d ' \n')
  [ "${header:0:16}" = 89504e470d0a1a0a ] || fail "${size}x${size} icon is not a PNG"
  [ $((16#${header:32:8})) -eq "$size" ] && [ $((16#${header:40:8})) -eq "$size" ] ||
    fail "${size}x${size} icon has the wrong size"
done

unit=$root/usr/lib/systemd/system/parlivo-server.service
[ -f "$unit" ] || fail "no systemd unit"
grep -qx 'ExecStart=parlivo-server --headless' "$unit" || fail "the unit does not run the headless server"
grep -qx 'Restart=on-failure' "$unit" || fail "the unit does not restart on failure"
grep -qx 'KillSignal=SIGTERM' "$unit" || fail "the unit does not stop the server with SIGTERM"

depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt6core6 libqt6widgets6 qt6-qpa-plugins libc6; do
  [[ ",$depends," =~ [\ ,]$package[\ ,\(] ]] || fail "Depends lacks $package: $depends"
done
for package in libavahi-client3 libssl3; do
  [[ ",$depends," =~ [\ ,]$package[\ ,\(] ]] || fail "Depends lacks $package: $depends"
done
recommends=$(dpkg-deb -f "$deb" Recommends)
[[ ",$recommends," =~ [\ ,]avahi-daemon[\ ,\(] ]] || fail "Recommends lacks avahi-daemon: $recommends"
grep -q -- '--allow' "$unit" || fail "the unit does not note the access options"
echo "package check: $(basename "$deb") is complete"
