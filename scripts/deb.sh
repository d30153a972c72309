#!/usr/bin/env bash
# Builds the Debian package and checks it: unpacked, the program starts
# offscreen and is still running after 2 s; lintian reports no error or
# warning; the menu entry and the AppStream metainfo pass their validators.
# dpkg-buildpackage writes next to the source tree, so the package is built
# from a copy in build-deb/, where its outputs stay.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

mapfile -t packages < <(cat scripts/build-packages.txt scripts/test-packages.txt)
scripts/packages.sh "${packages[@]}"

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
# The package's version is the program's, with the packaging revision after the dash.
grep -q "^project(Impulsmeter VERSION ${version%-*} " CMakeLists.txt ||
  { echo "deb: debian/changelog's $version does not match the version in CMakeLists.txt" >&2; exit 1; }

out=build-deb
rm -rf "$out"
mkdir -p "$out/impulsmeter"
# The tree as git sees it, uncommitted changes included, without build folders.
git ls-files -z --cached --others --exclude-standard |
  tar --null --files-from=- --ignore-failed-read -cf - | tar -xf - -C "$out/impulsmeter"

# Tests that need a pseudo-terminal, a guest or a sound server are left out
# by the package build itself (debian/rules).
(cd "$out/impulsmeter" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc -b)

deb="$out/impulsmeter_${version}_$(dpkg --print-architecture).deb"
changes="$out/impulsmeter_${version}_$(dpkg --print-architecture).changes"
ls -l "$deb"

dpkg-deb -f "$deb" Depends | grep -q 'qt6-qpa-plugins' || { echo "deb: Depends lacks qt6-qpa-plugins" >&2; exit 1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

QT_QPA_PLATFORM=offscreen "$root/usr/bin/impulsmeter" &
pid=$!
sleep 2
if ! kill -0 "$pid" 2>/dev/null; then
  wait "$pid" && rc=0 || rc=$?
  echo "deb: the packaged program ended within 2 s (exit status $rc)" >&2
  exit 1
fi
kill "$pid"
wait "$pid" || true
echo "deb: the packaged program was still running after 2 s"

desktop-file-validate "$root/usr/share/applications/impulsmeter.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.impulsmeter.impulsmeter.metainfo.xml"
# Both packages (the program and its debug symbols) and the upload as a whole.
lintian --fail-on error,warning --info "$changes"
echo "deb: $deb passed lintian and both validators in $((SECONDS - started)) s"
