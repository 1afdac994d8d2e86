# The build root of ./dev: a Debian unstable tree with Python 3.14, the
# compilers, the test tools, the word lists and the benchmark peers, made once
# and shared by every checkout on the machine. Sourced by ./dev, which sets
# `here` to the checkout; it defines make_root (make or update the root) and
# in_root_raw (run a command inside it).
# shellcheck shell=bash

# ----------------------------------------------------------- what it holds --

# Everything the project needs inside the root; adding a name here installs it
# on the next run.
ROOT_PACKAGES=(
  python3.14-dev python3-venv python3-pip python3-pytest python3-hypothesis
  python3-numpy python3-scikit-build-core cmake ninja-build g++ libgtest-dev
  git ca-certificates
  python3-marisa-trie python3-datrie python3-pygtrie python3-rapidfuzz
  python3-ahocorasick python3-psutil
  python3-mypy python3-matplotlib python3-build python3-distributed python3-dask
  wamerican-insane wngerman
)
# Benchmark peers that Debian does not package, pinned, from PyPI. Only the
# benchmarks use them, and they skip a peer that is missing, so a root that
# cannot reach PyPI still builds and tests.
PIP_PACKAGES=(symspellpy==6.10.1 editdistpy==0.4.0 dawg2==0.13.3 fast-autocomplete==0.9.0 ducer==1.2.0
  levenshtein==0.27.3 ahocorasick-rs==1.0.3 flashtext==2.7)
PIP_MARKER=.sorvan-pip-ready
# What ./dev check needs besides: clang with its sanitizer and fuzzer
# runtimes, and llvm for the symbolizer. Installed by the first check, so
# that a fresh machine's ./dev test does not wait for them.
CHECK_PACKAGES=(clang libclang-rt-21-dev llvm)
ROOT=${SORVAN_ROOT:-/var/cache/sorvan/root}
MARKER=.sorvan-ready
CHECK_MARKER=.sorvan-check-ready

# ------------------------------------------------------------ making it --

host_mirror() {
  local m=""
  if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    m=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources)
  fi
  if [[ -z $m && -f /etc/apt/sources.list ]]; then
    m=$(awk '$1=="deb"{for(i=2;i<=NF;i++) if ($i ~ /:\/\//) {print $i; exit}}' /etc/apt/sources.list)
  fi
  [[ -n $m ]] || { echo "dev: no Debian mirror found in the host's apt configuration" >&2; exit 1; }
  echo "$m"
}

# Makes the root if there is none, and installs what ROOT_PACKAGES (and, with
# the argument "check", CHECK_PACKAGES) lists that it lacks. Holds a lock
# meanwhile, released before the command runs: commands from several
# checkouts may share the root at once.
make_root() {
  [[ $(id -u) == 0 ]] || { echo "dev: making the build root needs root" >&2; exit 1; }
  mkdir -p "$(dirname "$ROOT")"
  exec 9>"$ROOT.lock"
  flock 9
  if [[ ! -f $ROOT/$MARKER ]]; then
    echo "dev: making the Debian unstable build root in $ROOT (once; a few minutes)" >&2
    command -v debootstrap >/dev/null || {
      apt-get update -q && apt-get install -y -q debootstrap
    } >&2
    local tmp=$ROOT.partial mirror
    mirror=$(host_mirror)
    rm -rf "$tmp"
    local list; list=$(IFS=,; echo "${ROOT_PACKAGES[*]}")
    # debootstrap mounts /proc and friends in the target: keep them private.
    unshare -m --propagation private \
      debootstrap --variant=minbase --include="$list" sid "$tmp" "$mirror" >&2
    echo 'Acquire::Check-Valid-Until "false";' > "$tmp/etc/apt/apt.conf.d/99no-valid-until"
    mkdir -p "$tmp/src"
    rm -rf "$ROOT"
    mv "$tmp" "$ROOT"
    sorted "${ROOT_PACKAGES[@]}" > "$ROOT/$MARKER"
  fi
  install_root_packages "$MARKER" "${ROOT_PACKAGES[@]}"
  install_root_pip_packages
  if [[ ${1:-} == check ]]; then
    install_root_packages "$CHECK_MARKER" "${CHECK_PACKAGES[@]}"
  fi
  exec 9>&-
}

sorted() { printf '%s\n' "$@" | sort; }

# Installs into the root those of the packages named after `marker` that the
# file `marker` in the root does not list yet, then adds them to it. Checkouts
# that want different lists thus share a root without reinstalling by turns.
install_root_packages() {
  local marker=$1; shift
  local missing
  missing=$(comm -23 <(sorted "$@") <(sort "$ROOT/$marker" 2>/dev/null))
  [[ -n $missing ]] || return 0
  echo "dev: installing new packages into the build root:" $missing >&2
  in_root_raw apt-get update -q >&2
  # shellcheck disable=SC2086 # one package a word
  in_root_raw env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends $missing >&2
  sort -u -o "$ROOT/$marker" <(cat "$ROOT/$marker" 2>/dev/null) <(echo "$missing")
}

# Installs into the root those of PIP_PACKAGES that the file PIP_MARKER in
# the root does not list yet. pip in the root trusts the certificates the
# host's tools do: a host may reach PyPI only through a proxy with its own
# authority. A failure (no way to PyPI) is reported, not fatal, and not
# retried until the list changes or the marker file is removed.
install_root_pip_packages() {
  local missing
  missing=$(comm -23 <(sorted "${PIP_PACKAGES[@]}") <(sort "$ROOT/$PIP_MARKER" 2>/dev/null))
  [[ -n $missing ]] || return 0
  echo "dev: installing benchmark peers from PyPI into the build root:" $missing >&2
  local ca=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}} cert=()
  if [[ -f $ca ]]; then
    cp "$ca" "$ROOT/etc/ssl/certs/host-ca-certificates.crt"
    cert=(--cert /etc/ssl/certs/host-ca-certificates.crt)
  fi
  # shellcheck disable=SC2086 # one package a word
  if ! in_root_raw python3 -m pip install -q --no-deps --break-system-packages --no-cache-dir \
      --timeout 30 --retries 1 --disable-pip-version-check --root-user-action=ignore \
      "${cert[@]}" $missing >&2; then
    echo "dev: could not install $missing; the benchmarks leave those peers out" \
      "(remove $ROOT/$PIP_MARKER to try again)" >&2
  fi
  sort -u -o "$ROOT/$PIP_MARKER" <(cat "$ROOT/$PIP_MARKER" 2>/dev/null) <(echo "$missing")
}

# Runs a command inside the root with the checkout at /src, /proc and /dev
# mounted; the mounts live in a private namespace that ends with the command.
in_root_raw() {
  # The script goes in as an argument, so that standard input stays the
  # caller's (./dev shell reads the terminal).
  local script='
    set -e
    root=$1 src=$2; shift 2
    mount --bind "$src" "$root/src"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    exec chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      LANG=C.UTF-8 SORVAN_IN_ROOT=1 ${CI:+CI=$CI} bash -c '"'"'cd /src && exec "$@"'"'"' bash "$@"'
  unshare -m --propagation private bash -c "$script" bash "$ROOT" "$here" "$@"
}
