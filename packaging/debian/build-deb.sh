#!/usr/bin/env bash
# build-deb.sh WARDERON_BINARY README VERSION OUT_FOLDER
# The Debian package warderon_VERSION_amd64.deb from a native build: the
# binary in /usr/sbin, the systemd unit, the man page, the README and the
# maintainer scripts that create the state folder and enable the unit.
set -euo pipefail
binary=$1 readme=$2 version=$3 out=$4
here=$(cd "$(dirname "$0")" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root=$stage/warderon_${version}_amd64
umask 022

install -D -m 0755 "$binary" "$root/usr/sbin/warderon"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/sbin/warderon"
install -D -m 0644 "$here/warderon.service" "$root/lib/systemd/system/warderon.service"
install -d "$root/usr/share/man/man8" "$root/usr/share/doc/warderon"
gzip -9n <"$here/warderon.8" >"$root/usr/share/man/man8/warderon.8.gz"
gzip -9n <"$readme" >"$root/usr/share/doc/warderon/README.md.gz"
install -m 0644 "$here/copyright" "$root/usr/share/doc/warderon/copyright"
cat >"$stage/changelog" <<CHANGES
warderon ($version) stable; urgency=medium

  * Release $version: see /usr/share/doc/warderon/README.md.gz.

 -- Warderon developers <warderon@dunmarrow.example>  $(date -R -d @"${SOURCE_DATE_EPOCH:-$(date +%s)}")
CHANGES
gzip -9n <"$stage/changelog" >"$root/usr/share/doc/warderon/changelog.gz"

install -d -m 0755 "$root/DEBIAN"
for script in postinst prerm postrm; do install -m 0755 "$here/$script" "$root/DEBIAN/$script"; done
# The shared libraries the binary needs, as dpkg-shlibdeps names them.
mkdir -p "$stage/debian"
printf 'Source: warderon\n\nPackage: warderon\nArchitecture: amd64\n' >"$stage/debian/control"
depends=$(cd "$stage" && dpkg-shlibdeps -O -e "$root/usr/sbin/warderon" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
cat >"$root/DEBIAN/control" <<CONTROL
Package: warderon
Version: $version
Architecture: amd64
Maintainer: Warderon developers <warderon@dunmarrow.example>
Installed-Size: $size
Depends: $depends
Recommends: systemd
Suggests: samba
Section: admin
Priority: optional
Homepage: https://warderon.dunmarrow.example/
Description: host watchdog reporting changes of files, services and accounts
 Warderon runs a fixed row of monitors every minute: file integrity,
 services, local and directory group members, listening TCP sockets, Samba
 shares and their clients, autostart entries, signatures of the programs
 that system accounts run, disk and memory thresholds and administrator
 commands. Each change against the stored baseline becomes an alert, sent
 by mail, to a syslog collector and into a journal.
CONTROL
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
  xargs -0 md5sum >DEBIAN/md5sums)
chmod 0644 "$root/DEBIAN/md5sums"
mkdir -p "$out"
dpkg-deb --root-owner-group --build "$root" "$out/warderon_${version}_amd64.deb" >/dev/null
echo "$out/warderon_${version}_amd64.deb"
