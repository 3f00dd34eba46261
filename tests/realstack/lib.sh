# Helpers the bench's cases share, sourced inside the guest by each case's own shell.
#
# A case is a function that starts gamepads and programs through these helpers and calls `fail`
# with what it saw whenever something is not as it should be; it passes when it never did. Every
# process a case starts is written down, so the runner can end exactly those if the case itself
# runs out of time. Times come from $EPOCHREALTIME: no process per reading.

# Set by the runner for each case: CASE (its name), CASE_DIR (its folder in the scratch share).

fail() {
  printf '%s\n' "$*" >>"$CASE_DIR/failures"
}

# A note that goes into the case's line whether it passes or not (times, counts).
note() {
  printf '%s\n' "$*" >>"$CASE_DIR/notes"
}

now_ms() {
  local t=${EPOCHREALTIME/./}
  echo $((t / 1000))
}

# One line of a file, CR dropped (Windows programs end lines with CRLF), quoted for a message.
show() {
  if [ -s "$1" ]; then
    tr -d '\r' <"$1" | head -c 600 | tr '\n' '|' | sed 's/|$//'
  else
    echo "(nothing)"
  fi
}

alive() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

# --- background processes -------------------------------------------------------------------

# start NAME COMMAND...: runs COMMAND in the background, its output in NAME.out and NAME.err.
start() {
  local name=$1
  shift
  printf '%q ' "$@" >"$CASE_DIR/$name.cmd"
  "$@" >"$CASE_DIR/$name.out" 2>"$CASE_DIR/$name.err" </dev/null &
  local pid=$!
  echo "$pid" >>"$CASE_DIR/pids"
  printf -v "pid_$name" '%s' "$pid"
  printf -v "started_$name" '%s' "$(now_ms)"
}

# finish NAME SECONDS: waits at most SECONDS for NAME to end, then sets rc_NAME (124 when it had
# to be killed) and ended_NAME (ms). False when it did not end by itself.
finish() {
  local name=$1 limit_ms=$(($2 * 1000))
  local pid_var=pid_$name
  local pid=${!pid_var} from
  from=$(now_ms)
  while alive "$pid" && [ $(($(now_ms) - from)) -lt "$limit_ms" ]; do
    sleep 0.02
  done
  printf -v "ended_$name" '%s' "$(now_ms)"
  if alive "$pid"; then
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    printf -v "rc_$name" '%s' 124
    return 1
  fi
  wait "$pid"
  printf -v "rc_$name" '%s' $?
  return 0
}

# run NAME SECONDS COMMAND...: runs COMMAND to its end, bounded; sets rc_NAME and ms_NAME.
run() {
  local name=$1 limit=$2
  shift 2
  start "$name" "$@"
  finish "$name" "$limit"
  local started=started_$name ended=ended_$name rc=rc_$name
  printf -v "ms_$name" '%s' $((${!ended} - ${!started}))
  if [ "${!rc}" = 124 ]; then
    fail "$name did not end within $limit s (killed); out: $(show "$CASE_DIR/$name.out"); err: $(show "$CASE_DIR/$name.err")"
  fi
}

# measure NAME SECONDS COMMAND...: run's twin for the timed runs. COMMAND runs in the foreground,
# bounded by timeout(1), so no poll of the bench's own (a process or two every 20 ms) competes
# with it for the guest's two processors, and its output stays in the guest's memory until it
# has ended instead of crossing to the host mid-run. Sets rc_NAME and ms_NAME.
measure() {
  local name=$1 limit=$2 rc from to
  shift 2
  printf '%q ' "$@" >"$CASE_DIR/$name.cmd"
  mkdir -p /tmp/measure
  from=${EPOCHREALTIME/./}
  timeout -k 5 "$limit" "$@" >"/tmp/measure/$name.out" 2>"/tmp/measure/$name.err" </dev/null
  rc=$?
  to=${EPOCHREALTIME/./}
  cp "/tmp/measure/$name.out" "/tmp/measure/$name.err" "$CASE_DIR/"
  printf -v "rc_$name" '%s' "$rc"
  printf -v "ms_$name" '%s' $(((to - from) / 1000))
  if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
    fail "$name did not end within $limit s (killed); out: $(show "$CASE_DIR/$name.out"); err: $(show "$CASE_DIR/$name.err")"
  fi
}

# expect_exit NAME CODE: the exit code run/finish saw for NAME.
expect_exit() {
  local rc=rc_$1
  if [ "${!rc}" != "$2" ]; then
    fail "$1 exited with ${!rc}, not $2; out: $(show "$CASE_DIR/$1.out"); err: $(show "$CASE_DIR/$1.err")"
  fi
}

# expect_output NAME out|err TEXT: TEXT (fixed string) is in what NAME wrote there.
expect_output() {
  if ! tr -d '\r' <"$CASE_DIR/$1.$2" | grep -qF -- "$3"; then
    fail "$1's std$2 lacks '$3': $(show "$CASE_DIR/$1.$2")"
  fi
}

# --- gamepads -------------------------------------------------------------------------------

# gamepad NAME [OPTIONS...]: a uhid gamepad, its files in the case folder; sets node_NAME to its
# hidraw node once udev has finished with it (permissions, tags).
gamepad() {
  local name=$1
  shift
  if [ ! -x "$UHID_GAMEPAD" ]; then
    fail "needs zevrin-uhid-gamepad, missing at $UHID_GAMEPAD"
    return 1
  fi
  rm -f "$CASE_DIR/$name.ready"
  start "$name" "$UHID_GAMEPAD" --ready "$CASE_DIR/$name.ready" --record "$CASE_DIR/$name.record" \
    --image-out "$CASE_DIR/$name.image" --turnaround "$CASE_DIR/$name.turnaround" "$@"
  local pid_var=pid_$name from
  from=$(now_ms)
  while [ ! -s "$CASE_DIR/$name.ready" ]; do
    if ! alive "${!pid_var}" || [ $(($(now_ms) - from)) -gt 15000 ]; then
      fail "gamepad $name never became ready; err: $(show "$CASE_DIR/$name.err")"
      return 1
    fi
    sleep 0.02
  done
  udevadm settle --timeout=15
  printf -v "node_$name" '%s' "$(head -n 1 "$CASE_DIR/$name.ready")"
}

# unplug NAME: the gamepad destroys its device and writes its files.
unplug() {
  local pid_var=pid_$1
  kill -TERM "${!pid_var}" 2>/dev/null
  finish "$1" 10 || fail "gamepad $1 did not end within 10 s of SIGTERM"
  udevadm settle --timeout=15
}

# record NAME KEY: a value from the gamepad's recording (written when it ended).
record() {
  sed -n "s/^$2=//p" "$CASE_DIR/$1.record" 2>/dev/null
}

expect_record() {
  local got
  got=$(record "$1" "$2")
  if [ "$got" != "$3" ]; then
    fail "gamepad $1 recorded $2=${got:-(no recording)}, not $3"
  fi
}

# expect_image NAME FILE: the gamepad received exactly FILE's data (the bytes after its header).
expect_image() {
  if ! tail -c +29 "$2" | cmp -s - "$CASE_DIR/$1.image"; then
    fail "gamepad $1 received $(stat -c %s "$CASE_DIR/$1.image" 2>/dev/null || echo no) bytes that differ from the $(($(stat -c %s "$2") - 28)) data bytes of $(basename "$2")"
  fi
}

# --- the Windows build under Wine -----------------------------------------------------------

wine_path() {
  local p=${1//\//\\}
  echo "Z:$p"
}

# wine_device PAD SECONDS: waits until Wine's HID bus has opened the gamepad's node and the
# program's own list shows it, then sets wdev_PAD to its path there. Wine names the device after
# the gamepad's serial (zevrin-uhid-PID), which tells it apart from a removed gamepad Wine may
# still hold on to. Says what it saw when that does not happen within SECONDS.
wine_device() {
  local pad=$1 limit_ms=$(($2 * 1000)) from links held=no stale=no
  local node_var=node_$pad pid_var=pid_$pad
  local node=${!node_var} serial=zevrin-uhid-${!pid_var}
  from=$(now_ms)
  while :; do
    # One process per look: a fork per descriptor costs seconds under TCG.
    links=$(find /proc/[0-9]*/fd -maxdepth 1 -lname '/dev/hidraw*' -printf '%l\n' 2>/dev/null)
    grep -qxF "$node" <<<"$links" && held=yes
    grep -qF ' (deleted)' <<<"$links" && stale=yes
    [ $held = yes ] && break
    if [ $(($(now_ms) - from)) -gt "$limit_ms" ]; then
      fail "Wine's HID bus did not open $node within $2 s (wine processes: $(pgrep -l 'wine|\.exe' | tr '\n' ' '))"
      return 1
    fi
    sleep 0.1
  done
  local took=$(($(now_ms) - from)) tries=0 line
  [ $stale = yes ] && note "Wine still holds a removed hidraw node"
  while :; do
    tries=$((tries + 1))
    flash_exe "list_$pad" 60 list
    line=$(tr -d '\r' <"$CASE_DIR/list_$pad.out" | grep -iF "$serial" | head -n 1)
    if [ -n "$line" ]; then
      printf -v "wdev_$pad" '%s' "${line%%$'\t'*}"
      note "Wine opened $node after $took ms; list showed it after $(($(now_ms) - from)) ms, $tries run(s)"
      return 0
    fi
    if [ $(($(now_ms) - from)) -gt "$limit_ms" ]; then
      fail "zevrin-flash.exe list never showed the gamepad $serial ($node) within $2 s: $(show "$CASE_DIR/list_$pad.out")"
      return 1
    fi
    sleep 0.5
  done
}

# flash_exe NAME SECONDS ARGS...: zevrin-flash.exe under Wine, bounded.
flash_exe() {
  local name=$1 limit=$2
  shift 2
  run "$name" "$limit" wine "$WINDOWS_FLASH" "$@"
}
