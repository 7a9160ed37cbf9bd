#!/bin/sh
# Installs the build into a temporary prefix and builds a small program against it twice, with
# find_package(VivoziZevidodirid) and with pkg-config; both must run, and the installed vivozi too.
#   consume-install.sh BUILD_DIR SOURCE_DIR CXX [SANITIZE]
set -eu
build=$1 source=$2 cxx=$3 flags=${4:+-fsanitize=$4}
work=$(mktemp -d "${TMPDIR:-/tmp}/vz-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
quietly() { "$@" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }; }

quietly cmake --install "$build" --prefix "$prefix"
for installed in bin/vivozi include/VivoziZevidodirid/VivoziZevidodirid.h \
    libexec/VivoziZevidodirid/periodic libexec/VivoziZevidodirid/sw_vers \
    libexec/VivoziZevidodirid/diskutil share/VivoziZevidodirid/examples/periodic/daily \
    share/man/man1/vivozi.1 share/bash-completion/completions/vivozi; do
    [ -e "$prefix/$installed" ] || { echo "not installed: $installed"; exit 1; }
done
# The completion where bash-completion finds it, with the installed vivozi.
"$source/tests/cli/completion-test.sh" "$prefix/bin/vivozi" "$prefix/share/bash-completion/completions/vivozi"
libdir=$(dirname "$(find "$prefix" -name 'libVivoziZevidodirid.so.1' | head -n 1)")
version=$("$prefix/libexec/VivoziZevidodirid/sw_vers" -productVersion)

echo "== find_package"
quietly cmake -S "$source/tests/cli/consumer" -B "$work/cmake-build" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="$flags"
cmake --build "$work/cmake-build"
"$work/cmake-build/consumer" "$prefix" "$work/cmake-defaults.plist" "$version"

echo "== pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
pkg-config --exact-version=1.0.0 VivoziZevidodirid
# shellcheck disable=SC2046 # the flags are words
"$cxx" -std=c++20 $flags -o "$work/pkg-consumer" "$source/tests/cli/consumer/consumer.cpp" \
    $(pkg-config --cflags --libs VivoziZevidodirid) -Wl,-rpath,"$libdir"
"$work/pkg-consumer" "$prefix" "$work/pkg-defaults.plist" "$version"

echo "== installed vivozi"
# It finds its stand-ins and sample sets beside itself, and its run records into the journal given.
export XDG_CONFIG_HOME=$work/config
"$prefix/bin/vivozi" compare 1
DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-bus VIVOZI_JOURNAL=$work/journal/journal.sqlite \
    "$prefix/bin/vivozi" run --demo --demo-dir "$work/demo" daily
grep -q 'daily/rotate-log' "$work/demo/maintenance.log"
test -f "$work/journal/journal.sqlite.daily.lock"

echo "== systemd units"
units=$prefix/lib/systemd/system
# The service names the installed vivozi, and each timer starts the service's own instance.
grep -qx "ExecStart=$prefix/bin/vivozi run --quiet -- %i" "$units/vivozi-run@.service"
command -v systemd-analyze >/dev/null || { echo "not verified: no systemd-analyze (Debian package systemd)"; exit 0; }
for period in daily weekly monthly; do
    unit=$(sed -n 's/^Unit=//p' "$units/vivozi-$period.timer")
    test "$unit" = "vivozi-run@$period.service"
    # Warnings (an unknown key, a calendar it cannot read) count as failures too.
    said=$(systemd-analyze verify --man=no "$units/vivozi-$period.timer" "$units/$unit" 2>&1) &&
        [ -z "$said" ] || { echo "$said"; exit 1; }
done
