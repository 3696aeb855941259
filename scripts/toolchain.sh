# Toolchain for building and testing Pilora; sourced by the other scripts.
#
# Pilora needs CPython 3.14 with NumPy, pybind11 3, CMake and a C++17 compiler (plus GoogleTest,
# Google Benchmark, pytest and hypothesis for its tests).  Where the host has them, they are used
# directly.  Otherwise a Debian unstable root is made with debootstrap, cached outside the checkout
# (PILORA_CACHE, default ~/.cache/pilora) and reused by later runs; commands then run inside it
# through a private mount namespace and chroot, with the checkout bind-mounted at its own path.
#
#   PILORA_TOOLCHAIN=host|root   force one of the two (default: host when it has everything)
#   PILORA_CACHE=DIR             where the Debian root is kept
#   PILORA_BIND=DIR              (pilora_in_root) also bind-mount this host folder at its own path
#   PILORA_WORKDIR=DIR           (pilora_in_root) run the command there instead of in the checkout

PILORA_SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PILORA_CACHE=${PILORA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pilora}
PILORA_SYSROOT=$PILORA_CACHE/sid-root
PILORA_PYTHON=python3.14

# Everything the build, the tests, the benchmarks and the examples use.
PILORA_PACKAGES=(
  python3 python3-dev python3-numpy pybind11-dev python3-pybind11
  python3-pytest python3-hypothesis python3-scikit-build-core python3-pip python3-venv
  g++ cmake ninja-build make libgtest-dev libgmock-dev libbenchmark-dev valgrind
  clang libclang-rt-dev python3-matplotlib python3-pybind11-stubgen mypy python3-distributed
  python3-pandas python3-pyarrow python3-scipy python3-tqdm python3-deap python3-optuna
  python3-selenium python3-openpyxl chromium chromium-driver ca-certificates
)

pilora_log() { printf '[pilora] %s\n' "$*" >&2; }

# True when the host can build and test the project without the Debian root.
pilora_host_ready() {
  command -v "$PILORA_PYTHON" >/dev/null 2>&1 && command -v cmake >/dev/null 2>&1 &&
    "$PILORA_PYTHON" - <<'PY' >/dev/null 2>&1
import numpy, pybind11, pytest, hypothesis
assert int(pybind11.__version__.split(".")[0]) >= 3
PY
}

pilora_mirror() {
  local uri
  uri=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -v security | head -n 1)
  if [ -z "$uri" ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) { print $i; exit } }' \
          /etc/apt/sources.list 2>/dev/null)
  fi
  [ -n "$uri" ] || { pilora_log "no Debian mirror found in /etc/apt"; return 1; }
  printf '%s\n' "$uri"
}

# Variables of the caller never passed into the root, as they would break the root's own tools:
# its PATH, the dynamic loader's LD_* settings, Python's home and start-up hooks (PYTHONHOME,
# PYTHONSTARTUP, PYTHONPLATLIBDIR, PYTHONEXECUTABLE, PYTHONUSERBASE, VIRTUAL_ENV), the host's
# locale (LANG, LANGUAGE, LC_*: the root has C.UTF-8 only), folders that exist on the host only
# (HOME, TMPDIR, XDG_*), the shell's own (PWD, OLDPWD, SHLVL, SHELL, _) and the session's
# (DISPLAY, WAYLAND_DISPLAY, DBUS_SESSION_BUS_ADDRESS, SSH_AUTH_SOCK).
PILORA_ENV_DENIED='^(PATH|LD_.*|PYTHONHOME|PYTHONSTARTUP|PYTHONPLATLIBDIR|PYTHONEXECUTABLE|PYTHONUSERBASE|VIRTUAL_ENV|LANG|LANGUAGE|LC_.*|HOME|TMPDIR|TMP|TEMP|XDG_.*|PWD|OLDPWD|SHLVL|SHELL|_|DISPLAY|WAYLAND_DISPLAY|DBUS_SESSION_BUS_ADDRESS|SSH_AUTH_SOCK|BASH_FUNC_.*)$'

# Sets PILORA_ENV, the environment of a command in the root: the root's own HOME, LANG, PATH and
# DEBIAN_FRONTEND, plus CI, TERM and Pilora's test settings; with PILORA_PASS_ENV=1 (set by
# scripts/pilora, so a study script's own variables arrive) every exported variable of the caller
# too, except those PILORA_ENV_DENIED names. Builds and tests run without it, in a clean
# environment.
pilora_root_env() {
  PILORA_ENV=()
  local v
  if [ "${PILORA_PASS_ENV:-}" = 1 ]; then
    for v in $(compgen -e); do
      [[ $v =~ $PILORA_ENV_DENIED ]] || PILORA_ENV+=("$v=${!v}")
    done
  else
    for v in CI PILORA_FUZZ_SECONDS PILORA_FUZZ_STATE_SECONDS PILORA_BENCH_REPETITIONS HYPOTHESIS_PROFILE TERM; do
      [ -n "${!v:-}" ] && PILORA_ENV+=("$v=${!v}")
    done
  fi
  # Last, so that they win over anything passed.
  PILORA_ENV+=(HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
               DEBIAN_FRONTEND=noninteractive)
}

# Prints the host folders a command in the root sees at their own paths, separated by ':': the
# folder BIND (pilora_in_root's PILORA_BIND, when given), the checkout, and the checkout's
# ../shared where it exists. scripts/pilora hands the list to the command as PILORA_VISIBLE, which
# then refuses a record or an output folder elsewhere (they would be missing, or lost, in the root).
pilora_visible() {
  local folders=${1:+$1:}$PILORA_SRC
  if [ -d "$PILORA_SRC/../shared" ]; then folders+=":$(cd "$PILORA_SRC/../shared" && pwd -P)"; fi
  printf '%s\n' "$folders"
}

# Runs a command inside the Debian root, in the checkout, with the environment pilora_root_env
# chooses. PILORA_BIND names one more host folder to make visible at its own path (mounted before
# the checkout, so the checkout stays visible when it lies inside); PILORA_WORKDIR is where the
# command starts (default: the checkout).
pilora_in_root() {
  local cmd bind=${PILORA_BIND:-} workdir=${PILORA_WORKDIR:-$PILORA_SRC}
  printf -v cmd '%q ' "$@"
  local PILORA_ENV
  pilora_root_env
  local envs=("${PILORA_ENV[@]}")
  cp -L /etc/resolv.conf "$PILORA_SYSROOT/etc/resolv.conf" 2>/dev/null || true
  if unshare --mount --propagation private true 2>/dev/null; then
    unshare --mount --propagation private bash -c '
      set -e
      root=$1 src=$2 bind=$3; shift 3
      mount --rbind /dev "$root/dev"
      mount -t proc proc "$root/proc"
      if [ -n "$bind" ]; then mkdir -p "$root$bind"; mount --bind "$bind" "$root$bind"; fi
      mkdir -p "$root$src"
      mount --bind "$src" "$root$src"
      if [ -d "$src/../shared" ]; then mkdir -p "$root$src/../shared"; mount --bind "$src/../shared" "$root$src/../shared"; fi
      exec chroot "$root" /usr/bin/env -i "$@"
    ' _ "$PILORA_SYSROOT" "$PILORA_SRC" "$bind" "${envs[@]}" bash -c "cd $(printf %q "$workdir") && $cmd"
  else
    # No mount namespace here: work on a copy inside the root and bring the build back.
    pilora_log "mount namespaces refused; running on a copy of the checkout inside the root"
    rm -rf "$PILORA_SYSROOT$PILORA_SRC"
    mkdir -p "$PILORA_SYSROOT$PILORA_SRC"
    cp -a "$PILORA_SRC/." "$PILORA_SYSROOT$PILORA_SRC/"
    if [ -n "$bind" ]; then mkdir -p "$PILORA_SYSROOT$bind"; cp -a "$bind/." "$PILORA_SYSROOT$bind/"; fi
    local rc=0
    chroot "$PILORA_SYSROOT" /usr/bin/env -i "${envs[@]}" bash -c "cd $(printf %q "$workdir") && $cmd" || rc=$?
    [ ! -d "$PILORA_SYSROOT$PILORA_SRC/build" ] || cp -a "$PILORA_SYSROOT$PILORA_SRC/build" "$PILORA_SRC/"
    [ -z "$bind" ] || cp -a "$PILORA_SYSROOT$bind/." "$bind/"
    return $rc
  fi
}

pilora_make_root() {
  local wanted stamp=$PILORA_SYSROOT/.pilora-packages
  wanted=$(printf '%s\n' "${PILORA_PACKAGES[@]}")
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then return 0; fi
  if [ "$(id -u)" != 0 ]; then
    pilora_log "the Debian root needs root privileges (debootstrap, chroot); run as root or install the requirements"
    return 1
  fi
  mkdir -p "$PILORA_CACHE"
  if [ ! -x "$PILORA_SYSROOT/usr/bin/apt-get" ]; then
    if ! command -v debootstrap >/dev/null 2>&1; then
      pilora_log "installing debootstrap"
      apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    local mirror tmp=$PILORA_CACHE/sid-root.partial
    mirror=$(pilora_mirror)
    rm -rf "$tmp"
    pilora_log "creating a Debian unstable root in $PILORA_SYSROOT (a few minutes, once)"
    debootstrap --variant=minbase sid "$tmp" "$mirror" >"$PILORA_CACHE/debootstrap.log" 2>&1 ||
      { pilora_log "debootstrap failed, see $PILORA_CACHE/debootstrap.log"; return 1; }
    rm -rf "$PILORA_SYSROOT"
    mv "$tmp" "$PILORA_SYSROOT"
  fi
  pilora_log "installing the toolchain packages into the root"
  pilora_in_root bash -c '
    set -e
    apt-get -o Acquire::Check-Valid-Until=false update -qq
    apt-get -o Acquire::Check-Valid-Until=false install -y -qq --no-install-recommends "$@" >/var/log/pilora-apt.log 2>&1 ||
      { tail -n 30 /var/log/pilora-apt.log; exit 1; }
    apt-get clean
  ' _ "${PILORA_PACKAGES[@]}" || return 1
  printf '%s\n' "$wanted" >"$stamp"
}

# Decides where commands run and makes the Debian root when needed.  Sets PILORA_MODE.
pilora_setup() {
  case "${PILORA_TOOLCHAIN:-auto}" in
    host) PILORA_MODE=host ;;
    root) PILORA_MODE=root ;;
    *) if pilora_host_ready; then PILORA_MODE=host; else PILORA_MODE=root; fi ;;
  esac
  if [ "$PILORA_MODE" = root ]; then
    mkdir -p "$PILORA_CACHE"
    (
      flock 9
      pilora_make_root
    ) 9>"$PILORA_CACHE/lock" || return 1
  fi
  pilora_log "toolchain: $PILORA_MODE"
}

# Runs a command with the toolchain chosen by pilora_setup, in the checkout.
pilora_run() {
  if [ "$PILORA_MODE" = root ]; then pilora_in_root "$@"; else (cd "$PILORA_SRC" && "$@"); fi
}
