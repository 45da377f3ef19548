#!/usr/bin/env bash
# Installs the build into a staging prefix and uses it as a host developer
# would: the README's C example built with pkg-config and with find_package,
# and a host that dlopens "libTALO.so", each run on the installed library and
# the installed simulated board (never the build tree's).
# Environment (set by ctest): TALO_BUILD_DIR TALO_SOURCE_DIR TALO_VERSION
# TALO_SOVERSION TALO_LIBDIR TALO_BINDIR TALO_INCLUDEDIR TALO_UNITDIR
# TALO_HAS_RECORDER CC
set -euo pipefail
build=$TALO_BUILD_DIR src=$TALO_SOURCE_DIR
work=$(mktemp -d "${TMPDIR:-/tmp}/talo_install_test.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
libdir=$prefix/$TALO_LIBDIR
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_eq() {  # what, got, want
  [[ "$2" == "$3" ]] || fail "$1: got '$2', want '$3'"
}

# The README shows exactly the example that is built here.
awk '/^## Integrating a host/ {in_section = 1}
     in_section && /^```c$/ {in_block = 1; next}
     in_block && /^```$/ {exit}
     in_block {print}' "$src/README.md" > "$work/readme_example.c"
if ! diff -u "$src/examples/host_example.c" "$work/readme_example.c"; then
  fail "the README's C example differs from examples/host_example.c"
fi

cmake --install "$build" --prefix "$prefix" > "$work/install.log"

# The library: real file, soname link, development link; soname and RUNPATH.
real=libTALO.so.$TALO_VERSION soname=libTALO.so.$TALO_SOVERSION
[[ -f "$libdir/$real" && ! -L "$libdir/$real" ]] || fail "$real is not a regular file"
expect_eq "libTALO.so link" "$(readlink "$libdir/libTALO.so")" "$soname"
expect_eq "$soname link" "$(readlink "$libdir/$soname")" "$real"
dynamic=$(readelf -d "$libdir/$real")
expect_eq SONAME "$(sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p' <<<"$dynamic")" "$soname"
expect_eq RUNPATH "$(sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p' <<<"$dynamic")" '$ORIGIN:$ORIGIN/talo/sim'

for f in "$TALO_INCLUDEDIR/talo/talo.h" "$TALO_INCLUDEDIR/talo/tvcdrv.h" "$TALO_INCLUDEDIR/talo/tvcsim.h" \
         "$TALO_LIBDIR/talo/sim/libTvcdrv.so" "$TALO_LIBDIR/pkgconfig/talo.pc" \
         "$TALO_LIBDIR/cmake/talo/taloConfig.cmake" "$TALO_LIBDIR/cmake/talo/taloConfigVersion.cmake" \
         "$TALO_LIBDIR/cmake/talo/taloTargets.cmake"; do
  [[ -f "$prefix/$f" ]] || fail "$f not installed"
done
tools=(talo2wav wav2board talo_listen)
[[ "$TALO_HAS_RECORDER" == 1 ]] && tools+=(talo-recorder)
for t in "${tools[@]}"; do
  [[ -x "$prefix/$TALO_BINDIR/$t" ]] || fail "$TALO_BINDIR/$t not installed"
done
"$prefix/$TALO_BINDIR/talo2wav" --help > /dev/null || fail "installed talo2wav does not run"
if [[ "$TALO_HAS_RECORDER" == 1 ]]; then
  unit=$prefix/$TALO_UNITDIR/talo-recorder.service
  expect_eq "unit ExecStart" "$(grep '^ExecStart=' "$unit" 2>/dev/null)" \
    "ExecStart=$prefix/$TALO_BINDIR/talo-recorder --config /etc/talo/recorder.json"
fi

# Runs a host with the loader's trace and checks what it printed and which
# files it loaded: the staged libTALO and the staged simulated board.
run_host() {  # name, library file it opens, command...
  local name=$1 opens=$2; shift 2
  local status=0
  env -u LD_PRELOAD -u TALO_DEBUG_OUTPUT LD_DEBUG=libs "$@" > "$work/$name.out" 2> "$work/$name.err" || status=$?
  expect_eq "$name exit status" "$status" 0
  expect_eq "$name output" "$(cat "$work/$name.out")" $'8 channels\nstopped'
  grep -q "calling init: $libdir/$opens\$" "$work/$name.err" || fail "$name did not load $libdir/$opens"
  grep -q "calling init: $libdir/talo/sim/libTvcdrv.so\$" "$work/$name.err" ||
    fail "$name did not load the installed simulated board"
  if grep -q "calling init: $build/" "$work/$name.err"; then fail "$name loaded a library of the build tree"; fi
}

# pkg-config, seeing only the staged .pc.
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig PKG_CONFIG_PATH=
expect_eq "pkg-config version" "$(pkg-config --modversion talo)" "$TALO_VERSION"
expect_eq "pkg-config libdir" "$(pkg-config --variable=libdir talo)" "$libdir"
# shellcheck disable=SC2046
"$CC" -std=c11 -Wall -Wextra -Werror -o "$work/host_pc" "$src/examples/host_example.c" \
  $(pkg-config --cflags --libs talo) -Wl,-rpath,"$(pkg-config --variable=libdir talo)"
run_host host_pc "$soname" env -u LD_LIBRARY_PATH "$work/host_pc" 1

# find_package(talo) through the standalone example project.
cmake -G Ninja -S "$src/examples" -B "$work/example-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$CC" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF > "$work/cmake.log" || { cat "$work/cmake.log"; fail "example configure"; }
cmake --build "$work/example-build" > "$work/cmake-build.log" || { cat "$work/cmake-build.log"; fail "example build"; }
grep -q "talo_DIR:PATH=$libdir/cmake/talo\$" "$work/example-build/CMakeCache.txt" ||
  fail "find_package(talo) did not find the staged package"
run_host host_cmake "$soname" env -u LD_LIBRARY_PATH "$work/example-build/host_example" 1

# A host that dlopens "libTALO.so" by name through LD_LIBRARY_PATH.
cat > "$work/dlopen_host.c" <<'C'
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include "talo/tvcsim.h"
int main(void) {
    void *lib = dlopen("libTALO.so", RTLD_NOW | RTLD_LOCAL);
    if (!lib) { fprintf(stderr, "%s\n", dlerror()); return 2; }
    uint8_t (*set_active)(uint8_t) = (uint8_t (*)(uint8_t))dlsym(lib, "QV_SetActive");
    int32_t (*channels)(void) = (int32_t (*)(void))dlsym(lib, "QV_GetChannelCount");
    /* The board the library opened, reached by its name wherever it was found. */
    void *board = dlopen("libTvcdrv.so", RTLD_NOW | RTLD_NOLOAD);
    if (!board) return 5;
    void (*reset)(void) = (void (*)(void))dlsym(board, "TvcSimReset");
    if (!reset) return 6;
    reset();
    if (!set_active || !channels || !set_active(1)) return 3;
    printf("%d channels\n", (int)channels());
    if (!set_active(0)) return 4;
    printf("stopped\n");
    return 0;
}
C
"$CC" -std=c11 -Wall -Wextra -Werror -I"$prefix/$TALO_INCLUDEDIR" -o "$work/dlopen_host" "$work/dlopen_host.c" -ldl
run_host dlopen_host libTALO.so env LD_LIBRARY_PATH="$libdir" "$work/dlopen_host"

# The packaged recorder runs from the staged tree on the simulated board, and
# its unit passes systemd's own check where systemd is at hand.
if [[ "$TALO_HAS_RECORDER" == 1 ]]; then
  mkdir -p "$work/recordings"
  printf '{"root": "%s", "console": {"port": 0}}\n' "$work/recordings" > "$work/recorder.json"
  status=0
  env -u LD_LIBRARY_PATH timeout 120 "$prefix/$TALO_BINDIR/talo-recorder" --config "$work/recorder.json" \
    --duration 2 > "$work/recorder.log" 2>&1 || status=$?
  expect_eq "installed talo-recorder exit status" "$status" 0
  ((status == 0)) || cat "$work/recorder.log" >&2
  [[ -f "$work/recordings/index.sqlite" ]] || fail "installed talo-recorder made no index"
  if command -v systemd-analyze > /dev/null; then
    systemd-analyze verify "$unit" > "$work/verify.log" 2>&1 || fail "systemd-analyze verify failed"
    if [[ -s "$work/verify.log" ]]; then fail "systemd-analyze verify: $(cat "$work/verify.log")"; fi
  else
    echo "note: no systemd-analyze here; the unit file was not verified"
  fi
fi

if ((failures)); then
  echo "$failures check(s) failed; install log:" >&2
  cat "$work/install.log" >&2
  exit 1
fi
echo "installed tree checked: $prefix"
