#!/bin/sh
# A Slurm cluster of one node on this machine, all of it inside one
# directory: for the tests of vdsim-sweep --slurm, and for anyone who wants
# to try that back end without a cluster.
#
#   tests/python/slurm_cluster.sh start DIR [SETTING...]
#   tests/python/slurm_cluster.sh stop DIR
#
# start runs, as root and without systemd: munged with a key and a socket
# directory of its own; slurmctld -D and slurmd -D -N localhost in the
# background, with a slurm.conf whose two ports are free ones on loopback
# chosen now (so that two copies of the test suite can run at once) and
# whose state, spool and log files are under DIR (SETTINGs such as
# MaxArraySize=5 are added to it). Once sinfo shows the node idle it prints
# the line that points Slurm's commands at the cluster (export
# SLURM_CONF=DIR/slurm.conf); exit status 1 (and the daemons' logs) if it
# does not come up. stop shuts the cluster down (scontrol shutdown), then
# munged, by the process ids recorded in DIR (a process whose command line
# does not name DIR is not one of them). Every client command (sbatch,
# squeue, vdsim-sweep --slurm) finds the cluster through SLURM_CONF.
#
# Needs Debian's slurmctld slurmd slurm-client munge, and python3 to find
# free ports.
set -u

usage() {
  echo "usage: $0 start DIR [SETTING...] | stop DIR" >&2
  exit 2
}
[ $# -ge 2 ] || usage
action=$1
dir=$2
shift 2
[ $# -eq 0 ] || [ "$action" = start ] || usage
case $dir in /*) ;; *) dir=$(pwd)/$dir ;; esac
conf=$dir/slurm.conf
export SLURM_CONF="$conf"

# The pid in FILE if that process is alive and names DIR on its command
# line (a daemon of this cluster, not a later process with its number).
live_pid() {
  pid=$(cat "$1" 2>/dev/null) || return 1
  case $pid in '' | *[!0-9]*) return 1 ;; esac
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF "$dir" && echo "$pid"
}

# Waits up to $2 tenths of a second for the process of pid file $1 to end,
# then terminates it, and kills it if it is still there 2 s later.
stop_pid() {
  pid=$(live_pid "$1") || return 0
  n=0
  while kill -0 "$pid" 2>/dev/null; do
    [ $n -eq "$2" ] && kill "$pid" 2>/dev/null
    [ $n -eq $(($2 + 20)) ] && kill -9 "$pid" 2>/dev/null
    sleep 0.1
    n=$((n + 1))
  done
  return 0
}

stop() {
  if [ -f "$conf" ] && live_pid "$dir/slurmctld.pid" >/dev/null; then
    scontrol shutdown >/dev/null 2>&1
  fi
  stop_pid "$dir/slurmctld.pid" 100
  stop_pid "$dir/slurmd.pid" 100
  stop_pid "$dir/munge/munged.pid" 0
}

show_logs() {
  for log in "$dir"/log/*.log "$dir"/munge/munged.log; do
    [ -s "$log" ] && { echo "--- $log"; tail -n 20 "$log"; }
  done >&2
}

start() {
  if live_pid "$dir/slurmctld.pid" >/dev/null || live_pid "$dir/munge/munged.pid" >/dev/null
  then
    echo "$0: a cluster is already running in $dir" >&2
    exit 1
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "$0: needs root (the daemons run as root, without systemd)" >&2
    exit 1
  fi
  for program in munged slurmctld slurmd sinfo scontrol python3; do
    command -v "$program" >/dev/null 2>&1 || {
      echo "$0: $program not found (Debian: apt-get install slurmctld slurmd slurm-client munge)" >&2
      exit 1
    }
  done
  mkdir -p "$dir/munge" "$dir/state" "$dir/spool" "$dir/log" || exit 1
  chmod 755 "$dir/munge"
  if [ ! -s "$dir/munge/munge.key" ]; then
    (umask 077 && dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 2>/dev/null) ||
      exit 1
  fi
  munged --force --key-file="$dir/munge/munge.key" --socket="$dir/munge/socket" \
    --pid-file="$dir/munge/munged.pid" --log-file="$dir/munge/munged.log" \
    --seed-file="$dir/munge/munged.seed" || { show_logs; exit 1; }

  # Two free ports on loopback, found by binding port 0 (the daemons take
  # them a moment later; a start that loses them to another program is retried).
  ports=$(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s:
    x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))') || exit 1
  ctld_port=${ports% *}
  slurmd_port=${ports#* }
  cat >"$conf" <<EOF
# A one-node cluster for vdsim-sweep's tests, made by $0.
ClusterName=vdsim
SlurmctldHost=localhost
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/socket
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/filetxt
JobCompLoc=$dir/log/jobcomp.txt
SchedulerParameters=batch_sched_delay=0
MpiDefault=none
ReturnToService=2
MailProg=/bin/true
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
KillWait=5
NodeName=localhost NodeAddr=127.0.0.1 CPUs=$(nproc)
PartitionName=debug Nodes=localhost Default=YES MaxTime=INFINITE State=UP
EOF
  for setting in "$@"; do
    echo "$setting" >>"$conf"
  done
  slurmctld -D -i -f "$conf" >"$dir/log/slurmctld.out" 2>&1 </dev/null &
  echo $! >"$dir/slurmctld.pid"
  slurmd -D -N localhost -f "$conf" >"$dir/log/slurmd.out" 2>&1 </dev/null &
  echo $! >"$dir/slurmd.pid"

  n=0
  while [ $n -lt 300 ]; do
    state=$(sinfo -h -n localhost -o %t 2>/dev/null)
    [ "$state" = idle ] && { echo "export SLURM_CONF=$conf"; return 0; }
    if ! live_pid "$dir/slurmctld.pid" >/dev/null || ! live_pid "$dir/slurmd.pid" >/dev/null; then
      break
    fi
    sleep 0.1
    n=$((n + 1))
  done
  echo "$0: the cluster in $dir did not come up (node state: ${state:-none})" >&2
  show_logs
  return 1
}

case $action in
  start)
    tries=0
    until start "$@"; do
      tries=$((tries + 1))
      stop
      # A daemon that could not bind its port is worth another try.
      grep -qs 'Address already in use' "$dir"/log/*.out "$dir"/log/*.log && [ $tries -lt 3 ] ||
        exit 1
      rm -f "$dir"/log/*
    done
    ;;
  stop) stop ;;
  *) usage ;;
esac
