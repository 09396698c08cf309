# The test command's stage runner, sourced by scripts/test.sh.
#
#   stage NAME COMMAND [ARGUMENTS...]
#
# runs one stage and records its wall time and the CPU time (user + system)
# of the processes it ran. The table of stages is printed when the command
# ends, and also when a stage fails or the command is interrupted (the table
# so far, then the exit with that status), so every run shows where its
# time went.

stage_rows=()
stage_started=$EPOCHREALTIME
stage_name="" stage_start="" stage_cpu_before=""

# CPU time used so far by this shell's finished children, in clock ticks:
# fields 16 and 17 (cutime, cstime) of /proc/$$/stat. $$ is the test
# command's own shell even inside a subshell, and a stage's subshell adds
# everything it waited for to that shell's total when it ends.
stage_ticks=$(getconf CLK_TCK)
stage_children_cpu() {
  local fields
  read -ra fields < "/proc/$$/stat"
  echo $((fields[15] + fields[16]))
}

# Appends the running stage's row, with `note` after its times.
stage_record() {
  local note=$1 cpu
  cpu=$(($(stage_children_cpu) - stage_cpu_before))
  stage_rows+=("$(awk -v n="$stage_name" -v a="$stage_start" -v b="$EPOCHREALTIME" -v c="$cpu" -v t="$stage_ticks" \
    -v note="$note" 'BEGIN { printf "%-14s %8.1fs %8.1fs%s", n, b - a, c / t, note }')")
}

stage_table() {
  local verdict=$1 row
  echo
  echo "stages ($verdict):"
  printf '  %-14s %9s %9s\n' stage wall cpu
  for row in "${stage_rows[@]}"; do
    echo "  $row"
  done
  awk -v a="$stage_started" -v b="$EPOCHREALTIME" 'BEGIN { printf "  %-14s %8.1fs\n", "total", b - a }'
}

# A signal reaches this shell once the stage's processes have ended; the
# stage's CPU time then counts only the ones it waited for.
stage_interrupted() {
  local signal=$1 status=$2
  trap - INT TERM
  if [ -n "$stage_name" ]; then
    stage_record "  INTERRUPTED (SIG$signal)"
    stage_table "interrupted in stage $stage_name"
  else
    stage_table "interrupted"
  fi
  exit "$status"
}
trap 'stage_interrupted INT 130' INT
trap 'stage_interrupted TERM 143' TERM

stage() {
  local status=0
  stage_name=$1 stage_start=$EPOCHREALTIME stage_cpu_before=$(stage_children_cpu)
  shift
  echo "== stage $stage_name"
  # Errexit holds inside the stage even when it is a shell function: the
  # subshell is not part of a condition, so `set -e` is not suspended there.
  set +e
  (set -e; "$@")
  status=$?
  set -e
  if ((status)); then
    stage_record "  FAILED (status $status)"
    stage_table "stage $stage_name failed"
    exit "$status"
  fi
  stage_record ""
  stage_name=""
}
