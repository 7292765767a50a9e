# Shared by the project's scripts: paths, the build, and the Wine/Xvfb test world.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${FSR2BRIDGE_BUILD_DIR:-$root/build/mingw}"

configure() {
  cmake -S "$root" -B "$build_dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

configure_and_build() {
  configure "$@"
  cmake --build "$build_dir" -j "$(nproc)"
}

# Starts Xvfb (when there is no display) and a persistent wineserver for this
# build tree's prefix; both are stopped when the calling script exits.
start_test_world() {
  export WINEPREFIX="$build_dir/wineprefix"
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ -z "${DISPLAY:-}" ]; then
    local n
    for n in $(seq 90 120); do
      [ -e "/tmp/.X${n}-lock" ] && continue
      Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
      xvfb_pid=$!
      export DISPLAY=":$n"
      break
    done
    for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ] && break; sleep 0.1; done
  fi
  WINEPREFIX="$WINEPREFIX" "$root/cmake/wine-prefix-init" </dev/null >/dev/null 2>&1
  wineserver -p </dev/null >/dev/null 2>&1 || true
  # Start Wine's background processes (services, the desktop) now, detached
  # from any output: started by the first test instead, they would inherit
  # CTest's output pipe and keep that test from ever finishing.
  "$root/cmake/wine-run" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
  trap stop_test_world EXIT
}

stop_test_world() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "${xvfb_pid:-}" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
