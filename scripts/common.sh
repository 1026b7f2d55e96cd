# Shared by the scripts: configure and build the two configurations.
# Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
NATIVE_BUILD=$ROOT/build/native
WINDOWS_BUILD=$ROOT/build/windows
TOOLCHAIN=$ROOT/cmake/mingw-w64-x86_64.cmake

# The Windows test build downloads from the local test server, so its port
# is compiled in: keep the one the build already has while it is free.
# Usage: free_port [PREFERRED...]; FREE_PORT_START moves the range searched.
free_port() {
    FREE_PORT_START=${FREE_PORT_START:-47443} python3 - "$@" <<'PY'
import os, socket, sys
def free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False
start = int(os.environ["FREE_PORT_START"])
for port in [int(p) for p in sys.argv[1:] if p] + list(range(start, start + 100)):
    if free(port):
        print(port)
        break
PY
}

configured_port() {
    sed -n 's/^TARVEX_DOWNLOAD_HOST:STRING=localhost:\([0-9]*\)$/\1/p' "$WINDOWS_BUILD/CMakeCache.txt" 2>/dev/null || true
}

build_native() {
    cmake -S "$ROOT" -B "$NATIVE_BUILD" -G Ninja >/dev/null
    cmake --build "$NATIVE_BUILD"
}

build_windows() {
    local port support
    port=$(free_port "$(configured_port)")
    support=$(free_port $((port + 1)))
    cmake -S "$ROOT" -B "$WINDOWS_BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
        -DTARVEX_DOWNLOAD_HOST="localhost:$port" -DTARVEX_SUPPORT_HOST="localhost:$support" >/dev/null
    cmake --build "$WINDOWS_BUILD"
}
