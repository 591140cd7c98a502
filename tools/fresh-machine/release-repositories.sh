#!/bin/sh
# Proves the signed repositories that tools/build-release writes with a key,
# through each package manager over real HTTP, set up with the README's
# commands as written, the URL put in:
#
# - a throwaway RSA key in a keyring of the check's own, which dies with it;
#   the repositories written twice from the same artifacts and key: the
#   same bytes; the next version built and signed the same way;
# - the tree served by Debian's python3 on 127.0.0.1;
# - Debian 11, 12 and 13 roots (debootstrap): the key and the .sources file,
#   apt-get update, apt-get install, the tool giving the records' answer
#   from the root's own `last`; the next version published in the same
#   place, and apt-get upgrade takes it;
# - dnf --installroot, as RHEL configures it (skip_if_unavailable=False),
#   with the .repo's gpgcheck and repo_gpgcheck, and zypper --root with the
#   key imported by rpm --import: install, answer, upgrade;
# - bad input, each refused with the package manager's own words and the
#   installed version left as it was: the next version signed by another
#   key; its InRelease or repomd.xml changed after signing; its package
#   replaced by a different build; its RPM unsigned (dnf and zypper).
#
#   tools/fresh-machine/release-repositories.sh    (as root)
set -eu

here=$(cd "$(dirname "$0")/../.." && pwd)
. "$here/tools/fresh-machine/lib.sh"
begin_check release-repositories
name=mean-reboot-interval

step "repositories: set-up"
"$here/tools/install-prerequisites.sh" release
# The check's keyring, and the web server, end with it.
GNUPGHOME=$work/gnupg
export GNUPGHOME
mkdir -m 0700 "$GNUPGHOME"
http_pid=""
finish() {
    [ -z "$http_pid" ] || kill "$http_pid" 2>/dev/null || true
    gpgconf --kill all 2>/dev/null || true
    end_check
}
trap finish EXIT
new_key() {
    gpg --batch --quiet --passphrase '' --quick-gen-key "$1" rsa3072 sign never 2>/dev/null
    gpg --batch --with-colons --list-secret-keys "$1" | awk -F: '$1 == "fpr" { print $10; exit }'
}
key=$(new_key "$name test publisher <publisher@test.invalid>")
stranger=$(new_key "someone else <stranger@test.invalid>")
echo "the publisher's key: $key; another: $stranger"

step "repositories: built with the key, twice, and the next version"
MRI_RELEASE_ARCHITECTURES=x86_64 MRI_SIGNING_KEY=$key "$here/tools/build-release" "$work/v1" >/dev/null
gpgv --keyring "$work/v1/repo/$name-archive-keyring.gpg" "$work/v1/SHA256SUMS.asc" "$work/v1/SHA256SUMS" \
    2>/dev/null || fail "SHA256SUMS.asc does not verify with the published key"
mkdir "$work/v1-again"
cp "$work/v1"/*.deb "$work/v1"/*.rpm "$work/v1/SHA256SUMS" "$work/v1-again/"
SOURCE_DATE_EPOCH=$(git -C "$here" log -1 --format=%ct) MRI_SIGNING_KEY=$key \
    "$here/tools/write-repositories" "$work/v1-again" >/dev/null
diff -r "$work/v1/repo" "$work/v1-again/repo" && cmp "$work/v1/SHA256SUMS.asc" "$work/v1-again/SHA256SUMS.asc" ||
    fail "the repositories differ from one writing to the next"
echo "the repositories and SHA256SUMS.asc: the same bytes twice"
version=$(dpkg-deb -f "$work/v1"/*_amd64.deb Version)
next=$(echo "$version" | awk -F. '{ printf "%d.%d.%d", $1, $2, $3 + 1 }')
# The next version: this commit with the version moved on.
git clone -q "$here" "$work/next"
(
    cd "$work/next"
    sed -i "s/^project($name VERSION $version /project($name VERSION $next /" CMakeLists.txt
    sed -i "s/^Version: *$version\$/Version:        $next/" "rpm/$name.spec"
    { printf '%s (%s) unstable; urgency=medium\n\n  * The next release.\n\n' "$name" "$next"
      printf ' -- %s  %s\n\n' "$(sed -n 's/^ -- \(.*>\)  .*/\1/p' debian/changelog | head -n 1)" \
          "$(date -R -d "@$(git log -1 --format=%ct)")"
      cat debian/changelog; } >debian/changelog.next
    mv debian/changelog.next debian/changelog
    git -c user.name=check -c user.email=check@test.invalid commit -q -am "Version $next"
)
MRI_RELEASE_ARCHITECTURES=x86_64 MRI_SIGNING_KEY=$key "$work/next/tools/build-release" "$work/v2" \
    >/dev/null
echo "built $version and $next"

# Trees that must be refused, from the next version's: signed by another
# key; changed after signing; a package replaced by another build of it;
# an RPM left unsigned (its metadata signed as it should be).
variant() {
    rm -rf "${work:?}/$1"
    cp -a "$work/v2/repo" "$work/$1"
    echo "$work/$1"
}
# KEY's signature of FILE into OUTPUT, made as gpg's OPTIONs say.
sign_as() {
    signer=$1
    output=$2
    signed=$3
    shift 3
    gpg --batch --yes --quiet --local-user "$signer" --digest-algo SHA256 --output "$output" "$@" "$signed"
}
tree=$(variant other-key)
dists=$tree/deb/dists/stable
sign_as "$stranger" "$dists/InRelease" "$dists/Release" --clearsign
sign_as "$stranger" "$dists/Release.gpg" "$dists/Release" --armor --detach-sign
sign_as "$stranger" "$tree/rpm/repodata/repomd.xml.asc" "$tree/rpm/repodata/repomd.xml" --armor --detach-sign
tree=$(variant changed)
sed -i 's/^Description: .*/Description: changed after signing/' "$tree/deb/dists/stable/InRelease"
sed -i 's|<revision>|<revision>1|' "$tree/rpm/repodata/repomd.xml"
tree=$(variant replaced)
cp "$work/v1"/*_amd64.deb "$tree/deb/pool/main/${name}_${next}_amd64.deb"
cp "$work/v1/repo/rpm/$name-$version-1.x86_64.rpm" "$tree/rpm/$name-$next-1.x86_64.rpm"
tree=$(variant unsigned)
cp "$work/v2/$name-$next-1.x86_64.rpm" "$tree/rpm/"
createrepo_c --quiet --no-database --update "$tree/rpm"
sign_as "$key" "$tree/rpm/repodata/repomd.xml.asc" "$tree/rpm/repodata/repomd.xml" --armor --detach-sign

step "repositories: served on 127.0.0.1"
served=$work/served
mkdir "$served"
publish() {
    rm -rf "$served/repo"
    cp -a "$1" "$served/repo"
}
publish "$work/v1/repo"
python3=/usr/bin/python3
[ -x "$python3" ] || python3=$(command -v python3)
"$python3" -u -m http.server 0 --bind 127.0.0.1 --directory "$served" >"$work/http.log" 2>&1 &
http_pid=$!
port=""
while [ -z "$port" ]; do
    kill -0 "$http_pid" 2>/dev/null || fail "the web server: $(cat "$work/http.log")"
    sleep 0.2
    port=$(sed -n 's/^Serving HTTP on 127.0.0.1 port \([0-9]*\) .*/\1/p' "$work/http.log")
done
url=http://127.0.0.1:$port/repo
echo "serving $url"

# The commands for one family in the first code block of the README's
# Install (the comment line above them begins with its word: Debian, RHEL
# or SLES), the URL put in, one a line.
readme_commands() {
    awk -v family="# $1" -v url="$url" '
        /^## / { section = ($0 == "## Install") }
        !section { next }
        /^```/ { blocks++; next }
        blocks != 1 { next }
        /^URL=/ { print "URL=" url; next }
        /^# / { inside = index($0, family) == 1; next }
        inside' "$here/README.md"
}
history_records >"$work/history.list"
host_build make-wtmp
"$work/dynamic/make-wtmp" "$work/history.list" "$work/history.wtmp"

# The version a root's package database holds.
deb_version() {
    in_root "$1" dpkg-query -W -f '${Version}' "$name"
}

for suite in bullseye bookworm trixie; do
    step "repositories: apt on $(suite_name "$suite")"
    root=$work/apt-$suite
    fresh_root "$suite" "$root"
    cp "$work/history.wtmp" "$root/root/history.wtmp"
    echo 'APT::Get::Assume-Yes "true";' >"$root/etc/apt/apt.conf.d/90mri-fresh-yes"
    readme_commands Debian >"$root/root/install.sh"
    in_root "$root" sh -c "apt-get update -q >/dev/null && apt-get install -q curl >/dev/null &&
        sh -e /root/install.sh" >"$work/apt-$suite.log" 2>&1 ||
        { cat "$work/apt-$suite.log" >&2; fail "$(suite_name "$suite"): the README's apt commands"; }
    # shellcheck disable=SC2016
    answer=$(in_root "$root" sh -c "$load_history"' && mean-reboot-interval')
    [ "$answer" = "$expected" ] || fail "$(suite_name "$suite"): the tool gave '$answer'"
    echo "$(suite_name "$suite"): $(deb_version "$root") from the repository: $answer"
    # The node as it stands now, for the tries of bad trees.
    [ "$suite" != bookworm ] || cp -a "$root" "$work/apt-installed"
    publish "$work/v2/repo"
    in_root "$root" sh -c 'apt-get update -q && apt-get upgrade -q' >"$work/apt-$suite.log" 2>&1 ||
        { cat "$work/apt-$suite.log" >&2; fail "$(suite_name "$suite"): apt-get upgrade"; }
    [ "$(deb_version "$root")" = "$next" ] || fail "$(suite_name "$suite"): apt-get upgrade left $(deb_version "$root")"
    echo "$(suite_name "$suite"): apt-get upgrade took $next"
    rm -rf "$root"
    publish "$work/v1/repo"
done

step "repositories: apt refuses bad input (Debian 12)"
root=$work/apt-bookworm
# Each try from the node with the first version installed: apt knows the
# source, so a bad signature is a warning and update says 0.
refused_by_apt() {
    rm -rf "$root"
    cp -a "$work/apt-installed" "$root"
    publish "$work/$1"
    status=0
    in_root "$root" sh -c 'apt-get clean && apt-get update -q && apt-get upgrade -q' >"$work/apt-$1.log" 2>&1 ||
        status=$?
    grep -q "$2" "$work/apt-$1.log" || { cat "$work/apt-$1.log" >&2; fail "apt, $1: no '$2'"; }
    [ "$(deb_version "$root")" = "$version" ] || fail "apt, $1: $(deb_version "$root") installed"
    echo "apt, $1: status $status, $version left; it said:"
    grep -m 2 "$2" "$work/apt-$1.log" | sed 's/^/    /'
}
refused_by_apt other-key "NO_PUBKEY"
refused_by_apt changed "BADSIG"
refused_by_apt replaced "Hash Sum mismatch\|unexpected size"
rm -rf "$root" "$work/apt-installed"

# An RPM node: busybox, sysvinit 2.88's `last` and the crafted history; its
# own packages' provider of /bin/sh, awk and last in rpm's database.
rpm_node() {
    rm -rf "$1"
    busybox_node "$1" "$work/sysvinit/last"
    cp "$work/history.wtmp" "$1/var/log/wtmp"
    rpm --root "$1" --initdb
    rpm --root "$1" -i "$provider" 2>/dev/null
}
static_sysvinit_last "$work/sysvinit"
build_provider
rpm_answer() {
    chroot "$1" /bin/busybox env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin mean-reboot-interval
}
rpm_version() {
    rpm --root "$1" -q --qf '%{VERSION}' "$name" 2>/dev/null
}

# A bad tree published to the RPM node as it was with the first version
# installed, and MANAGER's upgrade refusing it: its words, and the version
# left. dnf, set up as RHEL sets it up, also fails; zypper may skip a
# repository it refuses and go on.
refused_by() {
    manager=$1
    rm -rf "$node"
    cp -a "$work/$manager-installed" "$node"
    publish "$work/$2"
    status=0
    "${manager}_upgrade" >"$work/$manager-$2.log" 2>&1 || status=$?
    grep -qi "$3" "$work/$manager-$2.log" || { cat "$work/$manager-$2.log" >&2; fail "$manager, $2: no '$3'"; }
    [ "$manager" != dnf ] || [ "$status" -ne 0 ] || fail "dnf, $2: status 0"
    [ "$(rpm_version "$node")" = "$version" ] || fail "$manager, $2: $(rpm_version "$node") installed"
    echo "$manager, $2: status $status, $version left; it said:"
    grep -i -m 2 "$3" "$work/$manager-$2.log" | sed 's/^/    /'
}

# MANAGER's round on a fresh RPM node: the README's lines for FAMILY (the
# last, `sudo MANAGER install`, run with the node's root given, the others
# writing into the node's /etc and rpm database), the tool's answer, then
# the next version taken by the upgrade, and each bad tree refused.
rpm_round() {
    manager=$1
    publish "$work/v1/repo"
    node=$work/$manager-node
    rpm_node "$node"
    "${manager}_set_up"
    readme_commands "$2" >"$work/$manager-commands"
    [ "$(tail -n 1 "$work/$manager-commands")" = "sudo $manager install $name" ] ||
        fail "the README's $manager command"
    sed '$d; s/sudo //g' "$work/$manager-commands" |
        sed "s| /etc/| $node/etc/|g; s|^rpm --import|rpm --root $node --import|" >"$work/$manager-setup.sh"
    sh -e "$work/$manager-setup.sh" >"$work/$manager.log" 2>&1 ||
        { cat "$work/$manager.log" >&2; fail "the README's $manager lines"; }
    "${manager}_run" install "$name" >"$work/$manager.log" 2>&1 ||
        { cat "$work/$manager.log" >&2; fail "$manager install"; }
    answer=$(rpm_answer "$node")
    [ "$answer" = "$expected" ] || fail "$manager: the tool gave '$answer'"
    echo "$manager: $(rpm_version "$node") from the repository: $answer"
    cp -a "$node" "$work/$manager-installed"
    publish "$work/v2/repo"
    "${manager}_upgrade" >"$work/$manager.log" 2>&1 || { cat "$work/$manager.log" >&2; fail "$manager upgrade"; }
    [ "$(rpm_version "$node")" = "$next" ] || fail "$manager upgrade left $(rpm_version "$node")"
    echo "$manager upgrade took $next"
}

step "repositories: dnf --installroot"
# As RHEL configures dnf: a repository that fails fails the run.
dnf_set_up() {
    mkdir -p "$node/etc/dnf" "$node/etc/yum.repos.d"
    printf '[main]\ngpgcheck=1\nskip_if_unavailable=False\ninstall_weak_deps=False\n' >"$node/etc/dnf/dnf.conf"
}
dnf_run() {
    rm -rf "$node/var/cache/dnf"
    dnf -y --installroot="$node" --releasever=9 "$@"
}
dnf_upgrade() {
    dnf_run upgrade "$name"
}
rpm_round dnf RHEL
refused_by dnf other-key "signature"
refused_by dnf changed "signature"
refused_by dnf replaced "Inconsistent server data\|checksum\|does not match"
refused_by dnf unsigned "not signed"
rm -rf "$node" "$work/dnf-installed"

step "repositories: zypper --root"
zypper_set_up() {
    mkdir -p "$node/etc/zypp/repos.d"
}
zypper_run() {
    zypper --root "$node" --non-interactive clean --all >/dev/null 2>&1 || true
    zypper --root "$node" --non-interactive "$@"
}
zypper_upgrade() {
    zypper_run update "$name"
}
rpm_round zypper SLES
refused_by zypper other-key "signature"
refused_by zypper changed "signature"
refused_by zypper replaced "checksum\|digest\|size"
refused_by zypper unsigned "signature\|not signed"
rm -rf "$node" "$work/zypper-installed"

check_passed
