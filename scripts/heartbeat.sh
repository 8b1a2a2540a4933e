# Sourced by the test scripts. `heartbeat WHAT COMMAND...` runs COMMAND and,
# while it runs, says every 50 seconds what the run is waiting on, so that a
# long build, a guest's boot or the Windows suite never looks hung.
#
# Only the outermost heartbeat ticks; one inside it (another script, a chroot
# that shares /tmp) names what the run now waits on in KESTRIN_HEARTBEAT_FILE,
# and the ticking line shows that, until it gives the name back.

heartbeat() {
  local what=$1 status
  shift
  if [ -n "${KESTRIN_HEARTBEAT_FILE:-}" ] && [ -f "$KESTRIN_HEARTBEAT_FILE" ]; then
    local outer
    outer=$(cat "$KESTRIN_HEARTBEAT_FILE" 2>/dev/null)
    printf '%s\n' "$what" >"$KESTRIN_HEARTBEAT_FILE"
    "$@"
    status=$?
    printf '%s\n' "$outer" >"$KESTRIN_HEARTBEAT_FILE"
    return $status
  fi
  local file started=$SECONDS parent=$BASHPID
  file=$(mktemp /tmp/kestrin-heartbeat.XXXXXX) || { "$@"; return; }
  printf '%s\n' "$what" >"$file"
  (
    trap '' INT # an interrupt ends the run; this ends after it, with its file
    while sleep 50; do
      # Gone with the shell that started it, even if that shell was killed.
      kill -0 "$parent" 2>/dev/null && [ -f "$file" ] || { rm -f "$file"; exit 0; }
      echo "   ... waiting on $(cat "$file" 2>/dev/null) ($((SECONDS - started)) s so far)"
    done
  ) 2>/dev/null &
  local ticker=$!
  export KESTRIN_HEARTBEAT_FILE=$file
  "$@"
  status=$?
  unset KESTRIN_HEARTBEAT_FILE
  pkill -P "$ticker" 2>/dev/null # its sleep
  kill "$ticker" 2>/dev/null
  wait "$ticker" 2>/dev/null
  rm -f "$file"
  return $status
}
