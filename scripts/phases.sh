# Named phases with their times: sourced by the test command.
#
#   phase NAME "what it does" FUNCTION [ARGUMENT...]
#       adds a phase; phases run in the order they were added
#   run_phases [SELECTION...]
#       runs every phase, or only those whose names begin with one of the
#       selections ("asan" runs asan-build and asan-tests); a phase added as
#       `ALWAYS=1 phase ...` (the installs) runs in every selection.
#       At the end, and when a phase fails, prints each phase's wall time and
#       the machine's load, then what a function phase_footer prints, if
#       one is defined, and writes the same table to $PHASE_TIMES_FILE when
#       that is set.
#   list_phases
#       prints the phases with what each does.
#
# A phase is a shell function; it fails the run by failing (set -e) or by
# returning non-zero.

PHASE_NAMES=()
declare -A PHASE_TITLE=() PHASE_CALL=() PHASE_ALWAYS=() PHASE_SECONDS=() PHASE_STATE=()
PHASE_STARTED_AT=""
PHASE_CURRENT=""
PHASE_LOAD_AT_START=""

phase() {
  local name=$1 title=$2
  shift 2
  PHASE_NAMES+=("$name")
  PHASE_TITLE[$name]=$title
  PHASE_CALL[$name]=$(printf '%q ' "$@")
  PHASE_ALWAYS[$name]=${ALWAYS:-0}
}

list_phases() {
  local name
  for name in "${PHASE_NAMES[@]}"; do
    printf '  %-14s %s\n' "$name" "${PHASE_TITLE[$name]}"
  done
}

phase_load() { cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo "?"; }

phase_clock() {  # seconds as m:ss
  local s=$1
  printf '%d:%02d' $((s / 60)) $((s % 60))
}

phase_selected() {  # name, selections...
  local name=$1 pick
  shift
  [ $# -eq 0 ] && return 0
  [ "${PHASE_ALWAYS[$name]}" = 1 ] && return 0
  for pick in "$@"; do
    case $name in "$pick"*) return 0 ;; esac
  done
  return 1
}

phase_summary() {
  local name total=0 state line
  {
    echo "=== phase times (wall clock; $(nproc) cores, load average $PHASE_LOAD_AT_START at the start, $(phase_load) at the end)"
    for name in "${PHASE_NAMES[@]}"; do
      state=${PHASE_STATE[$name]:-}
      [ -n "$state" ] || continue
      line=$(printf '  %-14s %7s  %s' "$name" "$(phase_clock "${PHASE_SECONDS[$name]:-0}")" "${PHASE_TITLE[$name]}")
      [ "$state" = ok ] || line="$line  [$state]"
      echo "$line"
      total=$((total + ${PHASE_SECONDS[$name]:-0}))
    done
    printf '  %-14s %7s\n' "total" "$(phase_clock "$total")"
    if declare -F phase_footer >/dev/null; then phase_footer; fi
  } | tee ${PHASE_TIMES_FILE:+"$PHASE_TIMES_FILE"}
}

run_phases() {
  local name pick found
  for pick in "$@"; do
    found=0
    for name in "${PHASE_NAMES[@]}"; do
      case $name in "$pick"*) found=1 ;; esac
    done
    if [ $found = 0 ]; then
      echo "no phase named $pick*; the phases are:" >&2
      list_phases >&2
      return 2
    fi
  done
  PHASE_LOAD_AT_START=$(phase_load)
  trap 'phase_finish' EXIT
  for name in "${PHASE_NAMES[@]}"; do
    phase_selected "$name" "$@" || continue
    echo "=== $name: ${PHASE_TITLE[$name]}"
    PHASE_CURRENT=$name
    PHASE_STATE[$name]="failed"
    PHASE_STARTED_AT=$(date +%s)
    # A plain call, so that set -e stays in force inside the phase: its first
    # failing command ends the run, and the EXIT trap marks the phase failed.
    eval "${PHASE_CALL[$name]}"
    PHASE_SECONDS[$name]=$(($(date +%s) - PHASE_STARTED_AT))
    PHASE_STATE[$name]="ok"
    PHASE_CURRENT=""
  done
}

phase_finish() {
  local status=$?
  if [ -n "$PHASE_CURRENT" ]; then
    PHASE_SECONDS[$PHASE_CURRENT]=$(($(date +%s) - PHASE_STARTED_AT))
    echo "=== $PHASE_CURRENT failed (status $status)" >&2
  fi
  phase_summary
  exit $status
}
