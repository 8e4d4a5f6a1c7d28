#!/bin/bash
# Starts a single-node SLURM cluster on this machine, runs the command given
# as arguments against it (SLURM_CONF points the clients at it), stops the
# cluster and exits with the command's status. Run as root, for example
#   tools/slurm.sh env TOLVENDRA_TEST_FILTER=cluster Rscript tools/run-tests.R
# The cluster lives in a temporary folder: configuration, state, spool and
# logs. Every daemon started here is stopped by its PID on exit; a cluster
# that does not come up fails the run.
set -euo pipefail
if [ $# -eq 0 ]; then
  echo "usage: $0 command [argument...]" >&2
  exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "$0: run this as root (it starts munged, slurmctld and slurmd)" >&2
  exit 1
fi

sh "$(dirname "$0")/deps.sh" slurm-wlm munge r-cran-batchtools

dir=$(mktemp -d /tmp/tolvendra-slurm.XXXXXX)
chmod 755 "$dir"
pids=()
ctld=""

stop_cluster() {
  local status=$? pid i
  trap - EXIT INT TERM
  # Jobs still queued or running would outlive slurmd in their slurmstepd.
  if [ -n "$ctld" ] && kill -0 "$ctld" 2>/dev/null; then
    timeout 20 squeue -h -o %i 2>/dev/null | xargs -r timeout 20 scancel 2>/dev/null || true
  fi
  # Stop in reverse order of starting: slurmd, slurmctld, then munged.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.2
    done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$dir"
  exit "$status"
}
trap stop_cluster EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
  echo "tools/slurm.sh: $1" >&2
  for log in "$dir"/*.log; do
    [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
  done
  exit 1
}

# munged runs as the munge user with its socket in /run/munge. A munged
# already answering there is used as it is (and left running).
if ! munge -n 2>/dev/null | unmunge >/dev/null 2>&1; then
  if [ ! -s /etc/munge/munge.key ]; then
    mkdir -p /etc/munge
    dd if=/dev/urandom of=/etc/munge/munge.key bs=1 count=1024 status=none
  fi
  chown munge:munge /etc/munge /etc/munge/munge.key
  chmod 700 /etc/munge
  chmod 400 /etc/munge/munge.key
  mkdir -p /run/munge /var/lib/munge /var/log/munge
  chown munge:munge /run/munge /var/lib/munge /var/log/munge
  chmod 755 /run/munge
  setpriv --reuid=munge --regid=munge --clear-groups \
    munged --foreground --force >"$dir/munged.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do
    munge -n 2>/dev/null | unmunge >/dev/null 2>&1 && break
    sleep 0.2
  done
  munge -n 2>/dev/null | unmunge >/dev/null 2>&1 || fail "munged did not start"
fi

host=$(hostname -s)
cpus=$(nproc)
memory=$(awk '/^MemTotal:/ { print int($2 / 1024) }' /proc/meminfo)
mkdir -p "$dir/state" "$dir/spool"
export SLURM_CONF=$dir/slurm.conf
cat >"$SLURM_CONF" <<CONF
ClusterName=tolvendra
SlurmctldHost=$host
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
DefMemPerCPU=1024
SchedulerType=sched/backfill
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
MpiDefault=none
ReturnToService=2
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info
NodeName=$host CPUs=$cpus RealMemory=$memory State=UNKNOWN
PartitionName=main Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF

slurmctld -D -i -f "$SLURM_CONF" >"$dir/slurmctld.out" 2>&1 &
ctld=$!
pids+=($ctld)
slurmd -D -f "$SLURM_CONF" >"$dir/slurmd.out" 2>&1 &
pids+=($!)

state=""
for _ in $(seq 60); do
  for pid in "${pids[@]}"; do
    kill -0 "$pid" 2>/dev/null || fail "a SLURM daemon exited while starting"
  done
  state=$(sinfo -h -n "$host" -o %t 2>/dev/null || true)
  [ "$state" = idle ] && break
  sleep 1
done
[ "$state" = idle ] || fail "node $host is not idle after 60 s (state: ${state:-none})"
echo "SLURM cluster up: node $host, $cpus CPUs, $memory MiB (SLURM_CONF=$SLURM_CONF)"

# batchtools lists the user's jobs with squeue --user=$USER.
export USER=${USER:-$(id -un)}
set +e
"$@"
status=$?
set -e

# The controller's log is the record of the jobs (there is no accounting).
log=$dir/slurmctld.log
echo "SLURM jobs: $(grep -c '_slurm_rpc_submit_batch_job: JobId=' "$log" || true) submitted"
grep -E '_slurm_rpc_submit_batch_job: JobId=|_job_complete: JobId=[0-9]+ (WEXITSTATUS|WTERMSIG)' "$log" |
  sed -E 's/^/  /; s/ InitPrio=.*//' || true
exit "$status"
