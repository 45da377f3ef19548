#!/usr/bin/env bash
# Builds the Debian package with cpack and checks what it holds: the library
# with its soname links, headers, pkg-config and CMake files written for /usr,
# the simulated board, the tools, the recorder with its unit, the control
# fields (dependencies from dpkg-shlibdeps) and the shlibs file.
# Environment (set by ctest): TALO_BUILD_DIR TALO_VERSION TALO_SOVERSION
# TALO_LIBDIR TALO_BINDIR TALO_INCLUDEDIR TALO_UNITDIR TALO_HAS_RECORDER
set -euo pipefail
build=$TALO_BUILD_DIR
work=$(mktemp -d "${TMPDIR:-/tmp}/talo_deb_test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_eq() {  # what, got, want
  [[ "$2" == "$3" ]] || fail "$1: got '$2', want '$3'"
}

cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" > "$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; exit 1; }
debs=("$work"/out/*.deb)
expect_eq "packages made" "${#debs[@]}" 1
deb=${debs[0]}
arch=$(dpkg --print-architecture)
expect_eq "file name" "$(basename "$deb")" "talo_${TALO_VERSION}_${arch}.deb"

# Contents, as "path" or "path -> target" lines.
dpkg-deb -c "$deb" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' > "$work/contents"
lib=./usr/$TALO_LIBDIR real=libTALO.so.$TALO_VERSION soname=libTALO.so.$TALO_SOVERSION
want=("$lib/$real" "$lib/$soname -> $real" "$lib/libTALO.so -> $soname"
      "./usr/$TALO_INCLUDEDIR/talo/talo.h" "./usr/$TALO_INCLUDEDIR/talo/tvcdrv.h"
      "./usr/$TALO_INCLUDEDIR/talo/tvcsim.h"
      "$lib/pkgconfig/talo.pc" "$lib/cmake/talo/taloConfig.cmake"
      "$lib/cmake/talo/taloConfigVersion.cmake" "$lib/cmake/talo/taloTargets.cmake"
      "$lib/talo/sim/libTvcdrv.so"
      "./usr/$TALO_BINDIR/talo2wav" "./usr/$TALO_BINDIR/wav2board" "./usr/$TALO_BINDIR/talo_listen")
if [[ "$TALO_HAS_RECORDER" == 1 ]]; then
  want+=("./usr/$TALO_BINDIR/talo-recorder" "./usr/$TALO_UNITDIR/talo-recorder.service")
fi
for w in "${want[@]}"; do
  grep -qxF -- "$w" "$work/contents" || fail "not in the package: $w"
done

# Control fields and files.
expect_eq Package "$(dpkg-deb -f "$deb" Package)" talo
expect_eq Version "$(dpkg-deb -f "$deb" Version)" "$TALO_VERSION"
expect_eq Architecture "$(dpkg-deb -f "$deb" Architecture)" "$arch"
[[ -n "$(dpkg-deb -f "$deb" Maintainer)" ]] || fail "no Maintainer"
[[ -n "$(dpkg-deb -f "$deb" Description)" ]] || fail "no Description"
depends=$(dpkg-deb -f "$deb" Depends)
depend_names=" $(sed -E 's/ \([^)]*\)//g; s/,//g' <<<"$depends") "
for d in libc6 libstdc++6 libgsm1; do
  [[ "$depend_names" == *" $d "* ]] || fail "Depends lacks $d: $depends"
done
dpkg-deb -e "$deb" "$work/control"
expect_eq shlibs "$(cat "$work/control/shlibs" 2>/dev/null)" \
  "libTALO $TALO_SOVERSION talo (>= $TALO_VERSION)"
grep -qx "activate-noawait ldconfig" "$work/control/triggers" 2>/dev/null || fail "no ldconfig trigger"
for s in postinst prerm postrm; do
  [[ -x "$work/control/$s" ]] || fail "$s missing or not executable"
done

# Files written at install time name /usr.
dpkg-deb -x "$deb" "$work/root"
expect_eq ".pc prefix" "$(grep '^prefix=' "$work/root/usr/$TALO_LIBDIR/pkgconfig/talo.pc")" prefix=/usr
expect_eq "packaged SONAME" \
  "$(readelf -d "$work/root/usr/$TALO_LIBDIR/$real" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')" "$soname"
if [[ "$TALO_HAS_RECORDER" == 1 ]]; then
  expect_eq "unit ExecStart" "$(grep '^ExecStart=' "$work/root/usr/$TALO_UNITDIR/talo-recorder.service")" \
    "ExecStart=/usr/$TALO_BINDIR/talo-recorder --config /etc/talo/recorder.json"
fi

if ((failures)); then
  echo "$failures check(s) failed; package contents:" >&2
  cat "$work/contents" >&2
  exit 1
fi
echo "package checked: $(basename "$deb")"
