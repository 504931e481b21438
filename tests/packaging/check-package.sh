#!/usr/bin/env bash
# Checks what the build installs the way a distribution would: the desktop entry and the AppStream
# metadata through their validators, the .deb packages through lintian (no errors allowed), and,
# as root on a machine without Orvel, installs the app's package with apt, runs the installed
# binary and removes it again. Prints the package's figures.
#
#   check-package.sh BUILD_DIR DESKTOP_FILE METAINFO_FILE
set -euo pipefail
build=$1
desktop=$2
metainfo=$3

echo "== desktop-file-validate"
desktop-file-validate "$desktop"
echo "== appstreamcli validate"
appstreamcli validate --no-net "$metainfo"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "== cpack"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log"
  exit 1
}
app=$(ls "$work"/orvel_*.deb)
tools=$(ls "$work"/orvel-tools_*.deb)

echo "== lintian"
# Lintian warns about running as root; the run itself is read-only.
set +e
lintian --fail-on error --tag-display-limit 0 "$app" "$tools" >"$work/lintian.log" 2>&1
status=$?
set -e
grep -v 'running with root privileges' "$work/lintian.log" || true
if [ "$status" -ne 0 ]; then
  echo "check-package: lintian reports errors" >&2
  exit 1
fi

# Only the app in the app's package, and its binary stripped.
if dpkg-deb -c "$app" | grep -qE 'orvel-(bridge-sim|midi-send)'; then
  echo "check-package: the tools are in the app's package" >&2
  exit 1
fi
dpkg-deb -x "$app" "$work/root"
if file "$work/root/usr/bin/orvel" | grep -q 'not stripped'; then
  echo "check-package: usr/bin/orvel is not stripped" >&2
  exit 1
fi

echo "package: $(basename "$app") $(stat -c %s "$app") bytes, installed size $(dpkg-deb -f "$app" Installed-Size) KiB"

if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
  echo "check-package: not root: the install with apt is left out"
  exit 0
fi
if dpkg-query -W -f='${Status}' orvel 2>/dev/null | grep -q 'install ok installed'; then
  echo "check-package: orvel is installed on this machine already: the install with apt is left out"
  exit 0
fi
echo "== apt-get install"
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends "$app" >"$work/apt.log" 2>&1 || {
  cat "$work/apt.log"
  exit 1
}
removeOrvel() { apt-get -o DPkg::Lock::Timeout=300 remove -y -q orvel >"$work/apt-remove.log" 2>&1; }
trap 'removeOrvel || true; rm -rf "$work"' EXIT
start=$(date +%s%N)
version=$(/usr/bin/orvel --version)
took=$((($(date +%s%N) - start) / 1000000))
echo "installed: $version; /usr/bin/orvel --version took $took ms"
[ -n "$version" ]
removeOrvel
if [ -e /usr/bin/orvel ]; then
  echo "check-package: /usr/bin/orvel is still there after removal" >&2
  exit 1
fi
echo "removed again"
