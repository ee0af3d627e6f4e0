#!/usr/bin/env bash
# The service as it is shipped, checked from a build directory:
#   service_package.sh deb BUILD_DIR VERSION   cpack -G DEB, the package unpacked into a scratch
#       root: its fields, its files, and the program run from there prints its version
#   service_package.sh unit BUILD_DIR          cmake --install into a scratch prefix, and
#       systemd-analyze verify on the installed unit
# Exits 77 (skipped, with the reason) where a tool is missing or systemd-analyze cannot run
# at all; a complaint about our own unit fails.
set -euo pipefail
mode=$1 build=$2 version=${3:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || {
      echo "skipped: $tool is not installed"
      exit 77
    }
  done
}

if [ "$mode" = deb ]; then
  need cpack dpkg-deb dpkg-shlibdeps
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    fail "cpack: $(cat "$scratch/cpack.log")"
  debs=("$scratch"/out/event-historian_"$version"_*.deb)
  deb=${debs[0]}
  [ -f "$deb" ] || fail "no event-historian_${version}_ARCH.deb: $(ls "$scratch/out")"
  [ "$(dpkg-deb -f "$deb" Package)" = event-historian ] || fail "package name"
  depends=$(dpkg-deb -f "$deb" Depends)
  for library in libhiredis libsystemd0 libcurl libzstd libsnappy libxxhash libsimdjson; do
    grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
  done
  dpkg-deb -x "$deb" "$scratch/root"
  dpkg-deb -e "$deb" "$scratch/control"
  root=$scratch/root
  for file in usr/bin/event-historian usr/share/man/man1/event-historian.1.gz \
    usr/lib/systemd/system/event-historian@.service etc/event-historian/example.conf; do
    [ -f "$root/$file" ] || fail "$file is not in the package"
  done
  [ "$(stat -c %a "$root/etc/event-historian/example.conf")" = 600 ] || fail "example.conf mode"
  grep -qx /etc/event-historian/example.conf "$scratch/control/conffiles" || fail "conffiles"
  unit=$root/usr/lib/systemd/system/event-historian@.service
  grep -qx 'ExecStart=/usr/bin/event-historian run $HISTORIAN_OPTS' "$unit" || fail "ExecStart"
  grep -qx 'EnvironmentFile=/etc/event-historian/%i.conf' "$unit" || fail "EnvironmentFile"
  out=$("$root/usr/bin/event-historian" --version)
  grep -Eqx "event-historian $version \(build ([0-9a-f]{7,}|unknown), .+, .+\)" <<<"$out" ||
    fail "--version printed: $out"
  manual=$(zcat "$root/usr/share/man/man1/event-historian.1.gz")
  for text in 'redis\\-url\\-file' HISTORIAN_REDIS_URL 'EXIT STATUS' "$version"; do
    grep -q -- "$text" <<<"$manual" || fail "the man page lacks $text"
  done
  echo "ok: $(basename "$deb"), Depends: $depends"
  exit 0
fi

need systemd-analyze
cmake --install "$build" --prefix "$scratch/usr" >"$scratch/install.log" 2>&1 ||
  fail "cmake --install: $(cat "$scratch/install.log")"
# A unit that is surely correct tells whether systemd-analyze works in this environment at all.
mkdir "$scratch/probe"
printf '[Unit]\nDescription=probe\n[Service]\nExecStart=/bin/true\n' >"$scratch/probe/probe.service"
if ! probe=$(systemd-analyze verify --man=no "$scratch/probe/probe.service" 2>&1) || [ -n "$probe" ]; then
  echo "skipped: systemd-analyze cannot verify units here: $probe"
  exit 77
fi
unit=$scratch/usr/lib/systemd/system/event-historian@.service
[ -f "$unit" ] || fail "cmake --install did not install the unit"
grep -qx "ExecStart=$scratch/usr/bin/event-historian run \$HISTORIAN_OPTS" "$unit" ||
  fail "ExecStart does not name the installed program: $(grep ExecStart "$unit")"
# The man page it names is looked up among the installed ones, where man is installed.
man_check=--man=yes
command -v man >/dev/null || man_check=--man=no
if ! report=$(MANPATH="$scratch/usr/share/man" systemd-analyze verify "$man_check" "$unit" 2>&1) ||
  [ -n "$report" ]; then
  fail "systemd-analyze verify: $report"
fi
echo "ok: systemd-analyze verify accepts $unit"
