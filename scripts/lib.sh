# Shared by scripts/setup and scripts/test: packages and the build.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PY=/usr/bin/python3

PACKAGES=(cmake g++ make python3-dev python3-cppy python3-numpy python3-opencv python3-pil
          python3-redis python3-werkzeug cython3 python3-setuptools python3-pytest redis-server
          libgtest-dev mypy)

# Installs only what is missing; apt-get update only when something is.
ensure_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo=sudo
        $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
        $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

build() {
    cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$ROOT/build" -j"$(nproc)"
}

# The stubs (.pyi) of every extension module built under ravu/ checked
# against the modules themselves; what is deliberately untyped is listed in
# scripts/stubtest-allowlist.txt.
check_stubs() {
    local modules=()
    while IFS= read -r so; do
        local rel=${so#"$ROOT"/}
        local mod=$(echo "${rel%%.*}" | tr / .)
        modules+=("${mod%.__init__}")  # a package whose __init__ is the extension
    done < <(find "$ROOT/ravu" -name '*.so' | sort)
    ((${#modules[@]})) || { echo "no extension modules built under ravu/"; return 1; }
    echo "stubtest: ${#modules[@]} modules"
    # Run from build/, where mypy leaves its cache; the stubs are found through MYPYPATH.
    (cd "$ROOT/build" && PYTHONPATH="$ROOT" MYPYPATH="$ROOT" \
        "$PY" -m mypy.stubtest --concise --allowlist "$ROOT/scripts/stubtest-allowlist.txt" \
        "${modules[@]}")
}

# The package (stubs and plain modules) and the examples, typed as a user's
# service would be, under mypy's strictest common settings; run from build/,
# as stubtest is, with a cache of its own there (other options than stubtest's).
check_types() {
    # mypy 1.0 takes a package or files per run, not both.
    local mypy=("$PY" -m mypy --strict --cache-dir .mypy_cache_strict)
    echo "mypy --strict: ravu, then examples/"
    (cd "$ROOT/build" && export MYPYPATH="$ROOT" &&
        "${mypy[@]}" -p ravu && "${mypy[@]}" "$ROOT"/examples/*.py)
}
