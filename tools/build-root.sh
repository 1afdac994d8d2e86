# The build root of ./dev: a Debian unstable tree with Python 3.14, the
# compilers, the test tools, the word lists and the benchmark peers, made once
# and shared by every checkout on the machine. Sourced by ./dev, which sets
# `here` to the checkout and `caller` to the directory it was started in; it
# defines make_root (make or update the root), resolve_paths (the caller's
# files as the root sees them) and in_root_raw (run a command inside it).
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
  [[ -n $m ]] || {
    echo "dev: no Debian mirror found in the host's apt configuration: making the build root" \
      "needs a Debian-family host (apt, and a mirror it can reach), or a host with Python 3.14," \
      "its headers, CMake and a C++23 compiler, where ./dev runs without a root" >&2
    exit 1
  }
  echo "$m"
}

# Makes the root if there is none, and installs what ROOT_PACKAGES (and, with
# the argument "check", CHECK_PACKAGES) lists that it lacks. Holds a lock
# meanwhile, released before the command runs: commands from several
# checkouts may share the root at once.
make_root() {
  if [[ $(id -u) != 0 ]]; then
    root_is_ready "${1:-}" || exit 1
    return 0
  fi
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

# For a user other than root, who can use the root but not make or change
# it: whether it holds all that the command needs, and whether this user can
# enter it; if not, says what is wrong and what to do.
root_is_ready() {
  local lacking=""
  if [[ ! -f $ROOT/$MARKER ]]; then
    echo "dev: there is no build root at $ROOT yet; making it (once: about ten minutes" \
      "and 2 GB, from the Debian package archive) needs root: run ./dev $1 as root once" >&2
    return 1
  fi
  lacking=$(comm -23 <(sorted "${ROOT_PACKAGES[@]}") <(sort "$ROOT/$MARKER"))
  if [[ $1 == check ]]; then
    lacking+=$(comm -23 <(sorted "${CHECK_PACKAGES[@]}") <(sort "$ROOT/$CHECK_MARKER" 2>/dev/null))
  fi
  if [[ -n $lacking ]]; then
    echo "dev: the build root at $ROOT lacks packages this checkout needs:" $lacking "-" \
      "installing them needs root: run ./dev $1 as root once" >&2
    return 1
  fi
  if ! unshare -r -m true 2>/dev/null; then
    echo "dev: the build root at $ROOT is ready, but entering it as $(id -un) needs user" \
      "namespaces, which this system does not allow; run ./dev as root" >&2
    return 1
  fi
}

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

# ------------------------------------------------------- the caller's files --

# The caller's arguments with each that names an existing file or folder
# (alone or as --option=PATH) made absolute, as the build root sees it; and
# the host folders the root must show for them: the caller's directory and
# each named path's folder. Sets ARGS and BINDS.
resolve_paths() {
  ARGS=() BINDS=("$caller")
  local arg option value full
  for arg in "$@"; do
    option='' value=$arg
    if [[ $arg == --*=* ]]; then option=${arg%%=*}= value=${arg#*=}; fi
    full=$value
    [[ $full == /* ]] || full=$caller/$value
    if [[ -n $value && $value != -* && -e $full ]]; then
      full=$(realpath "$full")
      ARGS+=("$option$(seen_in_root "$full")")
      if [[ -d $full ]]; then BINDS+=("$full"); else BINDS+=("$(dirname "$full")"); fi
    else
      ARGS+=("$arg")
    fi
  done
}

# Where the build root shows the host path $1: the checkout is /src, other
# folders are bound under /mnt/host. On the host itself, the path as it is.
seen_in_root() {
  if [[ -z ${USE_ROOT:-} ]]; then echo "$1"
  elif [[ $1 == "$here" || $1 == "$here"/* ]]; then echo "/src${1#"$here"}"
  else echo "/mnt/host$1"; fi
}

# ------------------------------------------------------------ entering it --

# Runs a command inside the root with the checkout at /src, /proc and /dev
# mounted, and each host folder of ROOT_BINDS (if set) at /mnt/host/FOLDER;
# the mounts live in a private namespace that ends with the command. Root
# enters it directly; another user, in a user namespace of its own where it
# is root (and, for /proc, a PID namespace), which changes nothing on disk.
in_root_raw() {
  # The script goes in as an argument, so that standard input stays the
  # caller's (./dev shell reads the terminal).
  local script='
    set -e
    root=$1 src=$2 home=$3 nbinds=$4; shift 4
    mount --bind "$src" "$root/src"
    if [[ $nbinds -gt 0 ]]; then
      mount -t tmpfs -o mode=755 host "$root/mnt"
      for dir in "${@:1:nbinds}"; do
        mkdir -p "$root/mnt/host$dir"
        mount --bind "$dir" "$root/mnt/host$dir"
      done
    fi
    shift "$nbinds"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    exec chroot "$root" /usr/bin/env -i HOME="$home" TERM="${TERM:-dumb}" \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      LANG=C.UTF-8 SORVAN_IN_ROOT=1 ${CI:+CI=$CI} bash -c '"'"'cd /src && exec "$@"'"'"' bash "$@"'
  local binds; binds=$(outermost_folders ${ROOT_BINDS[@]+"${ROOT_BINDS[@]}"})
  local -a folders=()
  [[ -z $binds ]] || mapfile -t folders <<<"$binds"
  # Another user's root is root's only in name: the root's /root is not its.
  local enter=(unshare -m --propagation private) home=/root
  [[ $(id -u) == 0 ]] || { enter=(unshare -r -m -p -f --propagation private); home=/tmp; }
  "${enter[@]}" bash -c "$script" bash "$ROOT" "$here" "$home" "${#folders[@]}" "${folders[@]}" "$@"
}

# The folders given, less those inside another (bound with it) and the
# checkout's (the root has it at /src), one a line.
outermost_folders() {
  local folder outer kept=()
  while IFS= read -r folder; do
    [[ -n $folder && $folder != "$here" && $folder != "$here"/* ]] || continue
    for outer in "${kept[@]}"; do
      [[ $folder == "$outer" || $folder == "${outer%/}"/* ]] && continue 2
    done
    kept+=("$folder")
  done < <(printf '%s\n' "$@" | LC_ALL=C sort)
  [[ ${#kept[@]} == 0 ]] || printf '%s\n' "${kept[@]}"
}
