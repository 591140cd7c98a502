#!/bin/sh
# Proves the release artifacts where a foreign node stands:
#
# - tools/build-release, twice, at two paths: the same bytes (archives and
#   Debian packages); SHA256SUMS
#   checks; rpmlint, with the repo's rpmlintrc, says nothing; the archived
#   tools are static, and the x86_64 one gives the dynamic build's bytes on
#   every captured `last` output and on the demo.
# - A root with no C library at all: busybox-static's sh and awk, sysvinit
#   2.88's `last` built statically, and a wtmp of crafted boots with a
#   crash. The x86_64 archive gives the records' answer there, and its
#   collector and Nagios plugin run under busybox sh; the aarch64 archive
#   the same under qemu-aarch64-static; with no `last`, status 255 and its
#   message.
# - rpm --root: the x86_64 RPM installed, run, erased, no file of it left;
#   refused without a package that provides /usr/bin/last.
# - dnf --installroot from a local repository made with createrepo_c:
#   it resolves the RPM's requirements through a test-only package that
#   provides /bin/sh, awk and /usr/bin/last, and names the one missing.
# - A Debian 11 root from debootstrap (glibc 2.31, util-linux 2.36's last):
#   the x86_64 archive gives the records' answer there; the tool builds
#   there from source with bullseye's g++ 10 and CMake 3.18.
#
#   tools/fresh-machine/release-artifacts.sh    (as root)
set -eu

here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/tools/fresh-machine/lib.sh"
begin_check release-artifacts

step "release: set-up"
"$here/tools/install-prerequisites.sh" release
name=mean-reboot-interval
release=$work/release

step "release: build every artifact, twice"
"$here/tools/build-release" "$release" >/dev/null
# The version, as build-release named what it wrote.
top=$(basename "$release"/$name-*-linux-x86_64.tar.gz -linux-x86_64.tar.gz)
(cd "$release" && sha256sum -c SHA256SUMS) || fail "SHA256SUMS"
# Elsewhere, a minute later as the clock goes: the archives must not move.
sleep 1
"$here/tools/build-release" "$work/again" >/dev/null
for arch in x86_64 aarch64; do
    cmp "$release/$top-linux-$arch.tar.gz" "$work/again/$top-linux-$arch.tar.gz" ||
        fail "the $arch archive differs from build to build"
done
# The Debian packages, as the README's build makes them: the same bytes too.
for deb in "$release"/*.deb; do
    cmp "$deb" "$work/again/$(basename "$deb")" || fail "$(basename "$deb") differs from build to build"
    echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Architecture), the same bytes twice"
done
[ "$(ls "$release"/*.deb | wc -l)" -eq 2 ] || fail "build-release wrote no .deb for amd64 and arm64"
lint=$(rpmlint -r "$here/rpm/$name.rpmlintrc" "$release"/*.rpm 2>&1) || fail "rpmlint: $lint"
printf '%s\n' "$lint" | grep -q " 0 errors, 0 warnings" || fail "rpmlint: $lint"
echo "rpmlint: $(printf '%s\n' "$lint" | tail -n 1)"
for arch in x86_64 aarch64; do
    mkdir -p "$work/$arch"
    tar -C "$work/$arch" -xzf "$release/$top-linux-$arch.tar.gz"
    binary=$work/$arch/$top/bin/$name
    description=$(file -b "$binary")
    case $description in *"statically linked"*) ;; *) fail "$arch: $description" ;; esac
    ! readelf -l "$binary" | grep -q "program interpreter" || fail "$arch: an interpreter"
    echo "$arch: $description"
done
static_tool=$work/x86_64/$top/bin/$name
# An archive under ROOT's /usr/local, as the README installs it.
install_archive() {
    tar -C "$2/usr/local" --strip-components=1 -xzf "$release/$top-linux-$1.tar.gz" \
        "$top/bin" "$top/share" "$top/lib"
}

step "release: the static tool gives the dynamic build's bytes"
cmake -S "$here" -B "$work/dynamic" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/dynamic" -j "$(nproc)" --target mean-reboot-interval sample-wtmp make-wtmp \
    >/dev/null
dynamic_tool=$work/dynamic/$name
# Each tool over one captured output, played by a stand-in for last.
replay() {
    printf '#!/bin/sh\ncat %s\n' "$2" >"$work/stand-in"
    chmod 0755 "$work/stand-in"
    unshare --mount --propagation private sh -c \
        'mount --bind "$1" /usr/bin/last && "$2" -v; echo "status $?"' sh "$work/stand-in" "$1" 2>&1
}
compared=0
for fixture in "$here"/tests/fixtures/platforms/*.out "$here"/tests/fixtures/sysvinit/*/*.out; do
    [ "$(replay "$static_tool" "$fixture")" = "$(replay "$dynamic_tool" "$fixture")" ] ||
        fail "static and dynamic differ on $fixture"
    compared=$((compared + 1))
done
demo_static=$("$here/demo/run-demo.sh" "$static_tool" "$work/dynamic/sample.wtmp" 2>&1)
demo_dynamic=$("$here/demo/run-demo.sh" "$dynamic_tool" "$work/dynamic/sample.wtmp" 2>&1)
[ "$demo_static" = "$demo_dynamic" ] || fail "static and dynamic differ on the demo"
echo "the same bytes on $compared captured outputs and on the demo"

step "release: a root with no C library"
busybox_dir=$work/busybox
mkdir -p "$busybox_dir"
# Installing it would remove the host's busybox: it is only unpacked.
(cd "$busybox_dir" && apt-get download -q busybox-static >/dev/null 2>&1) || fail "busybox-static"
node=$work/node
# The folders a node's base system owns, and its /dev/null.
for folder in bin sbin usr/bin usr/sbin usr/local usr/lib/systemd/system usr/share/doc \
    usr/share/licenses usr/share/man/man1 var/log var/tmp var/lib/prometheus/node-exporter dev tmp; do
    mkdir -p "$node/$folder"
done
mknod -m 0666 "$node/dev/null" c 1 3
dpkg-deb -x "$busybox_dir"/busybox-static_*.deb "$busybox_dir/unpacked"
cp "$busybox_dir/unpacked/bin/busybox" "$node/bin/busybox"
chroot "$node" /bin/busybox --install -s
# sysvinit 2.88's last, static: the `last` of RHEL and CentOS 7 and SLES 12.
sysvinit=$work/sysvinit
mkdir -p "$sysvinit"
sources=${MRI_SYSVINIT_SOURCES:-$here/../shared/platforms}
[ -f "$sources/sysvinit-2.88dsf.tar.gz" ] ||
    fail "no sysvinit-2.88dsf.tar.gz in $sources: set MRI_SYSVINIT_SOURCES to the folder that holds it"
tar -xzf "$sources/sysvinit-2.88dsf.tar.gz" -C "$sysvinit" \
    --strip-components=1
make -C "$sysvinit/src" last LDFLAGS=-static >"$work/sysvinit.log" 2>&1 ||
    { tail -n 20 "$work/sysvinit.log" >&2; fail "sysvinit's last, static"; }
file -b "$sysvinit/src/last" | grep -q "statically linked" || fail "sysvinit's last is not static"
rm -f "$node/usr/bin/last"
cp "$sysvinit/src/last" "$node/usr/bin/last"
history_records >"$work/history.list"
"$work/dynamic/make-wtmp" "$work/history.list" "$node/var/log/wtmp"
[ ! -e "$node/lib/libc.so.6" ] && [ -z "$(find "$node" -name 'libc.so*' -o -name 'ld-linux*')" ] ||
    fail "the node has a C library"
in_node() {
    chroot "$node" /bin/busybox env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin "$@"
}
check_node() {
    label=$1
    answer=$(in_node mean-reboot-interval)
    [ "$answer" = "$expected" ] || fail "$label: the tool gave '$answer', the records '$expected'"
    echo "$label: $answer"
    rm -f "$node/var/lib/prometheus/node-exporter/metrics.prom"
    in_node /usr/local/share/$name/prometheus-textfile \
        --output /var/lib/prometheus/node-exporter/metrics.prom ||
        fail "$label: the collector failed"
    check_metrics "$label" "$node/var/lib/prometheus/node-exporter/metrics.prom"
    plugin=$(in_node /usr/local/lib/nagios/plugins/check_reboot_interval) ||
        fail "$label: the plugin said: $plugin"
    echo "$label: plugin: $plugin"
}
install_archive x86_64 "$node"
check_node "no C library, x86_64"

# The aarch64 node: its tool runs under qemu-user, started by a wrapper
# where the tool stands, as binfmt_misc would start it.
rm -rf "${node:?}/usr/local"/*
install_archive aarch64 "$node"
cp "$(command -v qemu-aarch64-static)" "$node/usr/bin/qemu-aarch64-static"
mv "$node/usr/local/bin/$name" "$node/usr/local/bin/$name.aarch64"
printf '#!/bin/sh\nexec /usr/bin/qemu-aarch64-static /usr/local/bin/%s.aarch64 "$@"\n' "$name" \
    >"$node/usr/local/bin/$name"
chmod 0755 "$node/usr/local/bin/$name"
check_node "no C library, aarch64 under qemu-user"

# No last at all: the shell's "not found", status 255 and the reason.
mv "$node/usr/bin/last" "$node/usr/bin/last.away"
status=0
said=$(in_node mean-reboot-interval 2>&1) || status=$?
[ "$status" -eq 255 ] && printf '%s\n' "$said" | tail -n 1 |
    grep -qx "Unable to read history from '/usr/bin/last reboot' (exit status 127)" ||
    fail "no last: status $status, '$said'"
echo "no last: status 255, $(printf '%s\n' "$said" | tail -n 1)"
mv "$node/usr/bin/last.away" "$node/usr/bin/last"
rm -rf "${node:?}/usr/local"/* "$node/usr/bin/qemu-aarch64-static"

step "release: rpm --root, installed, run, erased"
# A test-only package that provides what a node's own packages would.
provider_top=$work/provider
rpmbuild --quiet --define "_topdir $provider_top" -bb "$here/tests/fixtures/rpm/node-base.recipe" \
    >"$work/provider.log" 2>&1 || { cat "$work/provider.log" >&2; fail "the provider package"; }
provider=$provider_top/RPMS/noarch/node-base-1-1.noarch.rpm
rpm_file=$release/$top-1.x86_64.rpm
listing() {
    (cd "$node" && find . -path ./var/lib/rpm -prune -o -path ./usr/lib/sysimage -prune -o -print |
        sort)
}
rpm --root "$node" --initdb
status=0
refused=$(rpm --root "$node" -i "$rpm_file" 2>&1) || status=$?
[ "$status" -ne 0 ] && printf '%s\n' "$refused" | grep -q "/usr/bin/last is needed by" ||
    fail "rpm installed without /usr/bin/last: $refused"
echo "without last, rpm says: $(printf '%s\n' "$refused" | grep "/usr/bin/last")"
rpm --root "$node" -i "$provider"
listing >"$work/before-rpm"
rpm --root "$node" -i "$rpm_file"
answer=$(in_node mean-reboot-interval)
[ "$answer" = "$expected" ] || fail "rpm: the tool gave '$answer'"
echo "installed by rpm: $answer"
in_node /usr/share/$name/prometheus-textfile \
    --output /var/lib/prometheus/node-exporter/mean_reboot_interval.prom || fail "rpm: the collector"
rpm --root "$node" -e "$name"
listing >"$work/after-rpm"
diff "$work/before-rpm" "$work/after-rpm" || fail "rpm -e left files behind"
echo "rpm -e: no file left"

step "release: dnf --installroot from a local repository"
repo=$work/repo
mkdir -p "$repo"
cp "$rpm_file" "$repo/"
createrepo_c -q "$repo"
# The node again, with no package database: its busybox runs the
# scriptlets.
dnf_root=$work/dnf-root
fresh_node() {
    rm -rf "$dnf_root" "$work/dnf-cache"
    cp -a "$node" "$dnf_root"
    rm -rf "$dnf_root/var/lib/rpm" "$dnf_root/usr/lib/sysimage" "$dnf_root/root/.rpmdb"
}
dnf_in() {
    dnf -q -y --installroot="$dnf_root" --releasever=1 --setopt=reposdir=/dev/null \
        --setopt=install_weak_deps=False --setopt=cachedir="$work/dnf-cache" --nogpgcheck \
        --repofrompath=local,"file://$repo" --repo=local "$@"
}
fresh_node
status=0
refused=$(dnf_in install "$name" 2>&1) || status=$?
[ "$status" -ne 0 ] && printf '%s\n' "$refused" | grep -q "nothing provides /usr/bin/last" ||
    fail "dnf installed without /usr/bin/last: $refused"
echo "without last, dnf says: $(printf '%s\n' "$refused" | grep "nothing provides /usr/bin/last" | head -n 1 | sed 's/^ *//')"
cp "$provider" "$repo/"
createrepo_c -q --update "$repo"
fresh_node
dnf_in install "$name" >/dev/null
installed=$(rpm --root "$dnf_root" -qa --qf '%{NAME}\n' | sort | tr '\n' ' ')
[ "$installed" = "$name node-base " ] || fail "dnf installed: $installed"
echo "dnf resolved and installed: $installed"
dnf_in remove "$name" >/dev/null
[ ! -e "$dnf_root/usr/bin/$name" ] || fail "dnf remove left the tool"

step "release: Debian 11"
make_base bullseye || fail "Debian 11 base root"
old=$work/bullseye
fresh_root bullseye "$old"
install_archive x86_64 "$old"
"$work/dynamic/make-wtmp" "$work/history.list" "$old/root/history.wtmp"
answer=$(in_root "$old" sh -c 'cp /root/history.wtmp /var/log/wtmp && mean-reboot-interval')
[ "$answer" = "$expected" ] || fail "Debian 11: the tool gave '$answer', the records '$expected'"
echo "Debian 11 ($(in_root "$old" sh -c 'last --version; ldd --version | head -n 1' | tr '\n' ' ')): $answer"
# Built from source there with bullseye's own compiler and CMake.
git clone -q "$here" "$old/root/src"
in_root "$old" sh -c 'apt-get update -q >/dev/null &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends g++ cmake make >/dev/null &&
    cd /root/src && cmake -S . -B build >/dev/null && cmake --build build --target mean-reboot-interval >/dev/null &&
    echo "built with $(cmake --version | head -n 1) and $(g++ --version | head -n 1)" &&
    cp /root/history.wtmp /var/log/wtmp && ./build/mean-reboot-interval' >"$work/bullseye-build" ||
    fail "Debian 11: the build from source"
cat "$work/bullseye-build"
[ "$(tail -n 1 "$work/bullseye-build")" = "$expected" ] || fail "Debian 11: the built tool's answer"

check_passed
