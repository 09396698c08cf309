# The test command's stage runner, sourced by scripts/test.sh.
#
#   stage NAME COMMAND [ARGUMENTS...]
#
# runs one stage and records its wall time and the CPU time (user + system)
# of the processes it ran. The table of stages is printed when the command
# ends, and also when a stage fails (the table so far, then the exit with
# that stage's status), so every run shows where its time went.

stage_rows=()
stage_started=$EPOCHREALTIME

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

stage() {
  local name=$1 status=0 start=$EPOCHREALTIME cpu_before cpu_after
  shift
  cpu_before=$(stage_children_cpu)
  echo "== stage $name"
  # Errexit holds inside the stage even when it is a shell function: the
  # subshell is not part of a condition, so `set -e` is not suspended there.
  set +e
  (set -e; "$@")
  status=$?
  set -e
  cpu_after=$(stage_children_cpu)
  stage_rows+=("$(awk -v n="$name" -v a="$start" -v b="$EPOCHREALTIME" -v cpu=$(((cpu_after - cpu_before) / stage_ticks)).$(((cpu_after - cpu_before) % stage_ticks * 10 / stage_ticks)) \
    -v st="$status" 'BEGIN { printf "%-14s %8.1fs %8.1fs%s", n, b - a, cpu, st ? "  FAILED (status " st ")" : "" }')")
  if ((status)); then
    stage_table "stage $name failed"
    exit "$status"
  fi
}
