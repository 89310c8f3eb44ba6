#!/usr/bin/env bash
# Sets up the machine, builds the program and starts it.
#
# With SUPABASE_URL, SUPABASE_ANON_KEY and DASHBOARD_URL all set, the program
# runs against that backend and nothing else is started. Otherwise a local
# backend emulator is started on a free loopback port with a demo account
# (its e-mail and password are printed), the program is pointed at it and
# keeps its state in a fresh folder, and closing the window, Ctrl-C, a kill
# or closing the terminal stops both and removes that folder. A kill -9 of
# this script ends both as well; its folder goes at the next run.
set -euo pipefail
cd "$(dirname "$0")/.."

# Before anything is installed or built: without a display there is nothing
# to show the window on. (QT_QPA_PLATFORM names another platform, such as
# offscreen.)
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run.sh: no graphical session found (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "run.sh: start it from a terminal inside your desktop session." >&2
  exit 1
fi

BUILD_DIR="${BUILD_DIR:-build}"
PROGRAM="$BUILD_DIR/TarnwellNative"
own_backend=1
if [ -n "${SUPABASE_URL:-}" ] && [ -n "${SUPABASE_ANON_KEY:-}" ] && [ -n "${DASHBOARD_URL:-}" ]; then
  own_backend=0
fi

# Only what runs here is built: the program, and the emulator when it is used.
bash scripts/install-deps.sh
if [ "$own_backend" = 1 ]; then
  bash scripts/build.sh TarnwellNative tarnwell-backend
else
  bash scripts/build.sh TarnwellNative
  echo "run.sh: using the backend at $SUPABASE_URL"
  exec "$PROGRAM" "$@"
fi

# The demo's folders live in a private folder of this user's. Each run's
# folder is named after this script's process and its start time, so a folder
# whose run is gone (a run ended by kill -9, where no trap runs) is known for
# certain and removed here, while another run's live folder stays.
runtime_dir="${XDG_RUNTIME_DIR:-}"
if [ -z "$runtime_dir" ] || [ ! -d "$runtime_dir" ]; then
  runtime_dir="${TMPDIR:-/tmp}"
fi
demo_root="$runtime_dir/tarnwell-demo-$(id -u)"
mkdir -m 700 -- "$demo_root" 2>/dev/null || true
if [ ! -d "$demo_root" ] || [ -L "$demo_root" ] || [ ! -O "$demo_root" ] ||
  [ "$(stat -c %a -- "$demo_root")" != 700 ]; then
  echo "run.sh: $demo_root is not a private folder of yours; remove it or set TMPDIR to another folder." >&2
  exit 1
fi
# A process's start time (clock ticks since boot), or nothing when it is gone.
start_time() {
  local stat
  stat="$(cat "/proc/$1/stat" 2>/dev/null)" || return 0
  stat="${stat##*) }"
  # shellcheck disable=SC2086  # the fields after the name hold no blanks or wildcards
  set -- $stat
  printf '%s\n' "${20:-}"
}
for old in "$demo_root"/run-*; do
  if [ ! -d "$old" ] || [ -L "$old" ]; then continue; fi
  [[ "${old##*/}" =~ ^run-([0-9]+)-([0-9]+)$ ]] || continue
  if [ "$(start_time "${BASH_REMATCH[1]}")" != "${BASH_REMATCH[2]}" ]; then
    rm -rf -- "$old" || true
  fi
done
work_dir="$demo_root/run-$$-$(start_time $$)"
rm -rf -- "$work_dir"  # from a process of an earlier boot, if any
mkdir -m 700 -- "$work_dir"
backend_pid=""
program_pid=""
# Whether a child of this script still runs (an ended one stays a zombie
# until it is waited for).
running() {
  local state=""
  [ -n "$1" ] && read -r _ _ state _ 2>/dev/null <"/proc/$1/stat" && [ "$state" != Z ]
}
# Asks a child to end and waits for it; a child that is still there after
# about three seconds is killed.
stop_process() {
  [ -n "$1" ] || return 0
  if running "$1"; then
    kill -TERM "$1" 2>/dev/null || true
    for _ in $(seq 1 60); do
      running "$1" || break
      sleep 0.05
    done
    if running "$1"; then
      echo "run.sh: process $1 did not end in time; killing it." >&2 || true
      kill -KILL "$1" 2>/dev/null || true
    fi
  fi
  wait "$1" 2>/dev/null || true
}
cleanup() {
  # Once, and to the end: neither a second Ctrl-C nor a failing command (a
  # closed terminal fails every message) may cut the clean-up short.
  trap '' INT TERM HUP
  set +e
  # The window first (it ends as when it is closed), so that it never runs
  # against a stopped backend; then the backend; then the state folder.
  stop_process "$program_pid"
  stop_process "$backend_pid"
  rm -rf "$work_dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

demo_email="demo@tarnwell.local"
demo_password="demo-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
anon_key="local-anon-key"

# Starts a child (in the background, with `&`) in a session of its own, so
# that the terminal's Ctrl-C or hangup reaches this script only, which then
# ends the children in order (above). The kernel sends the child SIGTERM when
# this script ends, should it end without its traps (kill -9); the child's
# check of its parent after asking for that closes the gap in which the script
# could end first.
own_child() {
  # shellcheck disable=SC2016  # $PPID, $0 and $@ are the inner shell's
  exec setsid setpriv --pdeathsig TERM -- bash -c '[ "$PPID" = "$0" ] && exec "$@"' "$$" "$@"
}

own_child "$BUILD_DIR/tarnwell-backend" --port=0 --anon-key="$anon_key" \
  --user="$demo_email:$demo_password" --worker=done --worker-interval-ms=1000 \
  >"$work_dir/backend.url" 2>"$work_dir/backend.log" &
backend_pid=$!

base_url=""
for _ in $(seq 1 100); do
  base_url="$(head -n 1 "$work_dir/backend.url" 2>/dev/null || true)"
  [ -n "$base_url" ] && break
  if ! kill -0 "$backend_pid" 2>/dev/null; then
    echo "run.sh: the local backend did not start:" >&2
    cat "$work_dir/backend.log" >&2
    exit 1
  fi
  sleep 0.1
done
if [ -z "$base_url" ]; then
  echo "run.sh: the local backend did not report its address in time." >&2
  exit 1
fi

mkdir -m 700 "$work_dir/state"
export SUPABASE_URL="$base_url"
export SUPABASE_ANON_KEY="$anon_key"
export DASHBOARD_URL="$base_url/dashboard"  # served by the emulator
export QV_STATE_DIR="$work_dir/state"
unset SUPABASE_BUCKET SUPABASE_FILES_BUCKET  # the emulator has the default bucket only

cat <<INFO

  Local backend: $base_url (loopback only, kept in memory)
  Sign in with
    e-mail:   $demo_email
    password: $demo_password
  Dashboard: $DASHBOARD_URL (the emulator's page of the demo account's files and jobs)
  State folder for this run: $QV_STATE_DIR
  Closing the window or Ctrl-C here stops both and removes the state folder.

INFO

# The program runs as a child the script waits for, so that a signal to the
# script (Ctrl-C, kill, a closed terminal) stops the window and the backend
# at once instead of after the window has been closed by hand.
own_child "$PROGRAM" "$@" </dev/null &
program_pid=$!
status=0
wait "$program_pid" || status=$?
program_pid=""
exit "$status"
