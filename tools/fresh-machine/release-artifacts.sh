#!/bin/sh
# Proves the release artifacts where a foreign node stands:
#
# - tools/build-release, twice, at two paths: the same bytes (archives and
#   Debian packages) for every architecture in tools/architectures;
#   SHA256SUMS checks; rpmlint, with the repo's rpmlintrc, says nothing;
#   each archived tool is static and of its row's machine; no .deb depends
#   on a C library; the x86_64 tool gives the dynamic build's bytes on
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
#
# Each architecture's own proof, under qemu, is release-architectures.sh's.
set -eu

here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/tools/fresh-machine/lib.sh"
. "$here/tools/architecture-table.sh"
begin_check release-artifacts

step "release: set-up"
"$here/tools/install-prerequisites.sh" release
name=mean-reboot-interval
release=$work/release

step "release: build every artifact, twice"
"$here/tools/build-release" "$release" >"$work/build-release.log"
# Without a signing key: no repository, and one line that says how to get
# one.
[ ! -e "$release/repo" ] && [ "$(grep -c "^build-release: no repo/" "$work/build-release.log")" -eq 1 ] ||
    fail "build-release without a key: $(tail -n 2 "$work/build-release.log")"
# The version, as build-release named what it wrote.
top=$(basename "$release"/$name-*-linux-x86_64.tar.gz -linux-x86_64.tar.gz)
(cd "$release" && sha256sum -c SHA256SUMS) || fail "SHA256SUMS"
# Elsewhere, a minute later as the clock goes: the archives must not move.
sleep 1
"$here/tools/build-release" "$work/again" >/dev/null
for arch in $(architecture_names); do
    architecture "$arch"
    cmp "$release/$top-linux-$arch.tar.gz" "$work/again/$top-linux-$arch.tar.gz" ||
        fail "the $arch archive differs from build to build"
    # What the binary is: static, of the row's machine.
    mkdir -p "$work/$arch"
    tar -C "$work/$arch" -xzf "$release/$top-linux-$arch.tar.gz"
    binary=$work/$arch/$top/bin/$name
    description=$(file -b "$binary")
    case $description in *"$arch_file"*"statically linked"*) ;; *) fail "$arch: $description" ;; esac
    ! readelf -l "$binary" | grep -q "program interpreter" || fail "$arch: an interpreter"
    echo "$arch: $description"
    [ "$arch_rpm" = - ] || [ -f "$release/$top-1.$arch_rpm.rpm" ] || fail "no RPM for $arch"
    [ "$arch_deb" = - ] || [ -f "$release/${name}_${top#"$name-"}_$arch_deb.deb" ] ||
        fail "no .deb for $arch"
done
# The Debian packages, with the static tool: the same bytes too, and no C
# library among what they depend on.
for deb in "$release"/*.deb; do
    cmp "$deb" "$work/again/$(basename "$deb")" || fail "$(basename "$deb") differs from build to build"
    depends=$(dpkg-deb -f "$deb" Depends)
    case $depends in *libc*) fail "$(basename "$deb") depends on $depends" ;; esac
    echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Architecture), the same bytes twice, Depends: $depends"
done
lint=$(rpmlint -r "$here/rpm/$name.rpmlintrc" "$release"/*.rpm 2>&1) || fail "rpmlint: $lint"
printf '%s\n' "$lint" | grep -q " 0 errors, 0 warnings" || fail "rpmlint: $lint"
echo "rpmlint: $(printf '%s\n' "$lint" | tail -n 1)"
static_tool=$work/x86_64/$top/bin/$name

step "release: the static tool gives the dynamic build's bytes"
host_build mean-reboot-interval sample-wtmp make-wtmp
dynamic_tool=$work/dynamic/$name
compared=0
for fixture in $(captured_outputs); do
    [ "$(replay "$static_tool" "$fixture")" = "$(replay "$dynamic_tool" "$fixture")" ] ||
        fail "static and dynamic differ on $fixture"
    compared=$((compared + 1))
done
demo_static=$("$here/demo/run-demo.sh" "$static_tool" "$work/dynamic/sample.wtmp" 2>&1)
demo_dynamic=$("$here/demo/run-demo.sh" "$dynamic_tool" "$work/dynamic/sample.wtmp" 2>&1)
[ "$demo_static" = "$demo_dynamic" ] || fail "static and dynamic differ on the demo"
echo "the same bytes on $compared captured outputs and on the demo"

step "release: a root with no C library"
node=$work/node
static_sysvinit_last "$work/sysvinit"
busybox_node "$node" "$work/sysvinit/last"
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
build_provider
rpm_file=$release/$top-1.x86_64.rpm
rpm --root "$node" --initdb
status=0
refused=$(rpm --root "$node" -i "$rpm_file" 2>&1) || status=$?
[ "$status" -ne 0 ] && printf '%s\n' "$refused" | grep -q "/usr/bin/last is needed by" ||
    fail "rpm installed without /usr/bin/last: $refused"
echo "without last, rpm says: $(printf '%s\n' "$refused" | grep "/usr/bin/last")"
rpm --root "$node" -i "$provider"
listing "$node" >"$work/before-rpm"
rpm --root "$node" -i "$rpm_file"
answer=$(in_node mean-reboot-interval)
[ "$answer" = "$expected" ] || fail "rpm: the tool gave '$answer'"
echo "installed by rpm: $answer"
in_node /usr/share/$name/prometheus-textfile \
    --output /var/lib/prometheus/node-exporter/mean_reboot_interval.prom || fail "rpm: the collector"
rpm --root "$node" -e "$name"
listing "$node" >"$work/after-rpm"
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
