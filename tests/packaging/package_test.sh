#!/usr/bin/env bash
# package_test.sh: builds the Debian packages with `make deb` (time-boxed; lintian must report no
# errors) and checks what they hold, the unit with systemd-analyze, the tmpfiles.d configuration
# against existing trees, and the purge of the registry tree.
#
#   package_test.sh <source-dir> <output-dir>
#
# Exit 77 (skipped) when the Debian packaging tools or systemd's are not installed.
set -euo pipefail

# The purge stage, run under tools/nsrun (below) so the maintainer scripts see a private
# /opt/orn/kestrel (and, for the group, /etc).
if [ "${1:-}" = --purge-stage ]; then
    postrm=$2
    postinst=$3
    tree=/opt/orn/kestrel # nsrun's own tmpfs, with the skeleton already laid out
    skeleton="registry/HKEY_CLASS_ROOT registry/HKEY_LOCAL_MACHINE data work"
    # The postrm's own systemd part must not reach the host's systemd state.
    if [ -e /usr/bin/deb-systemd-helper ]; then mount --bind /dev/null /usr/bin/deb-systemd-helper; fi
    status=0
    # On the bare skeleton plus what $1 adds, runs the postrm with $2; every directory and $3 must stay.
    stage() {
        rm -rf "${tree:?}"/*
        for dir in $skeleton; do mkdir -p "$tree/$dir"; done
        eval "$1"
        "$postrm" "$2"
        for path in $skeleton $3; do
            [ -e "$tree/$path" ] || { echo "$2 after '$1' took $path" >&2; status=1; }
        done
    }
    stage 'mkdir "$tree"/registry/HKEY_LOCAL_MACHINE/SOFTWARE' purge registry/HKEY_LOCAL_MACHINE/SOFTWARE
    stage 'echo SRVPORT=ANY >"$tree"/data/property.inf' purge data/property.inf
    stage : remove "" # removing, unlike purging, leaves even the bare skeleton
    "$postrm" purge
    # /opt/orn/kestrel itself is nsrun's mount point and stays; everything below it must go.
    [ -z "$(ls -A "$tree")" ] || { echo "the bare skeleton was left: $(ls -A "$tree")" >&2; status=1; }

    # The group kestrel, in a private copy of /etc: created once by configure (a second configure
    # keeps it), removed by purge while it has no members, kept with one. The postinst's systemd
    # and tmpfiles parts are bound to true, so only its own lines act.
    mkdir /run/etc && cp -a /etc/. /run/etc && mount --bind /run/etc /etc
    for tool in deb-systemd-helper deb-systemd-invoke systemctl systemd-tmpfiles; do
        path=$(command -v "$tool") && mount --bind /bin/true "$path"
    done
    if getent group kestrel >/dev/null; then delgroup --quiet kestrel; fi
    has_group() { getent group kestrel >/dev/null; }
    "$postinst" configure && has_group || { echo "configure did not create the group kestrel" >&2; status=1; }
    gid=$(getent group kestrel | cut -d: -f3)
    [ "${gid:-1000}" -lt 1000 ] || { echo "kestrel is not a system group (gid ${gid:-none})" >&2; status=1; }
    "$postinst" configure && [ "$(getent group kestrel | cut -d: -f3)" = "$gid" ] ||
        { echo "a second configure failed or changed the group kestrel" >&2; status=1; }
    "$postrm" purge && ! has_group || { echo "purge left the empty group kestrel" >&2; status=1; }
    "$postinst" configure && adduser --quiet nobody kestrel && "$postrm" purge && has_group ||
        { echo "purge removed the group kestrel with a member" >&2; status=1; }
    exit $status
fi

src=$(cd "$1" && pwd)
out=$(realpath -m "$2")  # absolute: the unit check and tmpfiles read paths from other directories
build_timeout=${KST_DEB_TIMEOUT:-900}
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for tool in dpkg-buildpackage dh lintian dpkg-deb systemd-analyze systemd-tmpfiles; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

rm -rf "$out"
log=$(mktemp) # outside the tree that make deb copies
if ! timeout "$build_timeout" make --no-print-directory -C "$src" deb DEB_BUILD="$out" JOBS=2 >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    rm -f "$log"
    echo "FAIL: make deb failed or took more than $build_timeout s (lintian errors count as failures)" >&2
    exit 1
fi
mv "$log" "$out/build.log"

deb() { ls "$out/$1"_*.deb 2>/dev/null | head -n1; } # the file of a binary package, if built
server=$(deb kstntserver)
lib=$(deb libkstnt1)
dev=$(deb libkstnt-dev)
[ -n "$server" ] && [ -n "$lib" ] && [ -n "$dev" ] || { echo "FAIL: a package is missing:" "$out"/*.deb >&2; exit 1; }
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# "mode owner path[ -> target]" lines of a package, without sizes and dates.
listing() { dpkg-deb -c "$1" | awk '{ $3 = $4 = $5 = ""; print }' | tr -s ' '; }
expect_entry() { # package-file mode path
    listing "$1" | awk -v mode="$2" -v path="$3" '$1 == mode && $2 == "root/root" && $3 == path { found = 1 }
                                                 END { exit !found }' || fail "$(basename "$1") lacks $2 root/root $3"
}

# Ownership, setuid bits and world-writable files are dh_fixperms' work, and anything under /opt is a
# lintian error (dir-or-file-in-opt) that already fails the build above.
expect_entry "$server" -rwxr-xr-x ./usr/sbin/KSTntserver
expect_entry "$server" -rwxr-xr-x ./usr/sbin/kstctl
for path in lib/systemd/system/KSTntserver.service usr/lib/tmpfiles.d/kstntserver.conf \
    usr/share/man/man8/{KSTntserver,kstctl}.8.gz usr/share/man/man5/property.inf.5.gz \
    usr/share/bash-completion/completions/kstctl \
    usr/share/doc/kstntserver/examples/{remote-clients.conf,trace-file.conf,kstntserver.logrotate} \
    etc/KSTntserver/access.conf; do
    expect_entry "$server" -rw-r--r-- "./$path"
done
if [ -e "$src/man/access.conf.5" ]; then
    expect_entry "$server" -rw-r--r-- ./usr/share/man/man5/access.conf.5.gz
fi
dpkg-deb -f "$server" Depends | grep -w adduser >/dev/null || fail "kstntserver does not depend on adduser (postinst)"
dpkg-deb -f "$server" Depends | grep -w rpcbind >/dev/null || fail "kstntserver does not depend on rpcbind"
expect_entry "$lib" lrwxrwxrwx "./usr/lib/$multiarch/libkstnt.so.1"
listing "$lib" | grep "^-rw-r--r-- root/root \./usr/lib/$multiarch/libkstnt\.so\.1\.[0-9.]*$" >/dev/null ||
    fail "libkstnt1 lacks usr/lib/$multiarch/libkstnt.so.1.*"
dpkg-deb --ctrl-tarfile "$lib" | tar -t | grep -x "./symbols" >/dev/null || fail "libkstnt1 has no symbols file"
for path in include/kstnt.h "lib/$multiarch/libkstnt.a" "lib/$multiarch/pkgconfig/kstnt.pc"; do
    expect_entry "$dev" -rw-r--r-- "./usr/$path"
done
expect_entry "$dev" lrwxrwxrwx "./usr/lib/$multiarch/libkstnt.so"

# The packaged files themselves, for the checks below.
root=$out/root
mkdir -p "$root"
dpkg-deb -x "$server" "$root"
dpkg-deb -e "$server" "$root/DEBIAN"
dpkg-deb -x "$lib" "$root"
cmp -s "$root/lib/systemd/system/KSTntserver.service" "$src/packaging/KSTntserver.service" ||
    fail "the shipped unit differs from packaging/KSTntserver.service"
# The policy is a conffile, so an administrator's edits survive upgrades.
cmp -s "$root/etc/KSTntserver/access.conf" "$src/packaging/access.conf" ||
    fail "the shipped access.conf differs from packaging/access.conf"
grep -x /etc/KSTntserver/access.conf "$root/DEBIAN/conffiles" >/dev/null || fail "access.conf is not a conffile"

# The unit's sandbox as systemd rates it: exposure 2.5 at most (the threshold counts tenths).
exposure=$(systemd-analyze security --offline=yes --threshold=25 "$root/lib/systemd/system/KSTntserver.service" 2>&1) ||
    fail "systemd-analyze security: exposure over 2.5: $(echo "$exposure" | tail -n1)"

# systemd-analyze verify, with the example drop-ins applied, the binary from the package and no
# man pages looked up (they are not installed on this host).
units=$out/units
mkdir -p "$units/KSTntserver.service.d"
sed "s|^ExecStart=/usr/sbin/|ExecStart=$root/usr/sbin/|" "$root/lib/systemd/system/KSTntserver.service" \
    >"$units/KSTntserver.service"
cp "$root"/usr/share/doc/kstntserver/examples/*.conf "$units/KSTntserver.service.d/"
verify=$(SYSTEMD_UNIT_PATH="$units:" LD_LIBRARY_PATH="$root/usr/lib/$multiarch" \
    systemd-analyze verify --man=no KSTntserver.service 2>&1) && [ -z "$verify" ] || fail "systemd-analyze verify: $verify"

# tmpfiles.d: what is missing is created, what exists is left as it is.
conf=$root/usr/lib/tmpfiles.d/kstntserver.conf
fresh=$out/tmpfiles-fresh
mkdir -p "$fresh/usr/bin" "$fresh/usr/sbin" && ln -s usr/sbin "$fresh/sbin" && touch "$fresh/usr/bin/pidof"
systemd-tmpfiles --root="$fresh" --create "$conf"
for dir in registry/HKEY_CLASS_ROOT registry/HKEY_LOCAL_MACHINE data work; do
    [ -d "$fresh/opt/orn/kestrel/$dir" ] || fail "tmpfiles.d did not create /opt/orn/kestrel/$dir"
done
[ "$(readlink "$fresh/usr/sbin/pidof")" = /usr/bin/pidof ] || fail "tmpfiles.d did not link /sbin/pidof"
used=$out/tmpfiles-used
mkdir -p "$used/usr/bin" "$used/usr/sbin" "$used/opt/orn/kestrel/registry/HKEY_LOCAL_MACHINE/SOFTWARE" \
    "$used/opt/orn/kestrel/data"
ln -s usr/sbin "$used/sbin" && echo local >"$used/usr/sbin/pidof"
chmod 0700 "$used/opt/orn/kestrel/registry"
echo SRVPORT=40000 >"$used/opt/orn/kestrel/data/property.inf"
systemd-tmpfiles --root="$used" --create "$conf"
[ -d "$used/opt/orn/kestrel/registry/HKEY_LOCAL_MACHINE/SOFTWARE" ] &&
    [ "$(stat -c %a "$used/opt/orn/kestrel/registry")" = 700 ] &&
    [ "$(cat "$used/opt/orn/kestrel/data/property.inf")" = SRVPORT=40000 ] &&
    [ -d "$used/opt/orn/kestrel/work" ] && [ "$(cat "$used/usr/sbin/pidof")" = local ] ||
    fail "tmpfiles.d changed an existing tree or pidof"

# Purging keeps a tree that holds keys or files and removes the bare skeleton.
"$src/tools/nsrun" "$0" --purge-stage "$root/DEBIAN/postrm" "$root/DEBIAN/postinst" ||
    fail "purge of the registry tree or the group kestrel"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all package checks passed"
