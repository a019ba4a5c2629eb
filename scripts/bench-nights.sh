#!/usr/bin/env bash
# kadrix-nights' cost per night: 8 small demo nights run by kadrix alone in
# sequence, then by kadrix-nights on each engine one night at a time: this
# machine (GNU parallel), one ssh host (a private sshd on 127.0.0.1), and a
# single-node Slurm started here (as root; the whole node a task). The
# overhead per night is (engine's time - kadrix's time) / 8, medians of the
# runs. Every transcript must match kadrix's own. The daemons are stopped by
# their pids however the script ends; an engine that cannot start is
# reported and left out.
#   bash scripts/bench-nights.sh [runs]      (default 5 runs each)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
count=8

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target kadrix kadrix-demo kadrix-nights >/dev/null
export PATH="$PWD/build:$PWD/build/tools/nights:$PATH"

work=$(mktemp -d /tmp/kadrix-bench-nights.XXXXXX)
pid_files=()
cleanup() {
  local i
  for ((i = ${#pid_files[@]} - 1; i >= 0; i--)); do
    [ -s "${pid_files[i]}" ] && kill "$(cat "${pid_files[i]}")" 2>/dev/null || true
  done
  sleep 1
  rm -rf "$work"
}
trap cleanup EXIT

lists=()
for i in $(seq 1 $count); do
  build/tools/demo/kadrix-demo --objects 2 --frames 10 --seed "$i" "$work/n$i" >/dev/null
  lists+=("$work/n$i/lista.list")
done
for list in "${lists[@]}"; do
  kadrix "$(dirname "$list")/" "$list" > "${list%.list}.expected"
done

# Seconds one run of "$@" takes.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  python3 -c "print($end - $start)"
}
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }
check() {
  local list
  for list in "${lists[@]}"; do
    cmp -s "${list%.list}.txt" "${list%.list}.expected" || { echo "$1: ${list%.list}.txt differs" >&2; exit 1; }
  done
}
alone() { for list in "${lists[@]}"; do kadrix "$(dirname "$list")/" "$list" > "${list%.list}.txt"; done; }

report() {
  local name=$1 base=$2
  shift 2
  local times=() r
  for r in $(seq "$runs"); do times+=("$(seconds "$@")"); done
  check "$name"
  local m
  m=$(median "${times[@]}")
  python3 -c "print(f'{\"$name\":<28} {$m:7.2f} s for $count nights, {($m - $base) / $count:6.3f} s a night over kadrix alone')"
}

times=()
for r in $(seq "$runs"); do times+=("$(seconds alone)"); done
check "kadrix alone"
base=$(median "${times[@]}")
python3 -c "print(f'{\"kadrix alone, in sequence\":<28} {$base:7.2f} s for $count nights')"

report "kadrix-nights, this machine" "$base" kadrix-nights --jobs 1 "${lists[@]}"

# One ssh host: a private sshd on a free port, a key made here.
if [ -x /usr/sbin/sshd ]; then
  mkdir -p /run/sshd
  ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
  ssh-keygen -q -t ed25519 -N '' -f "$work/id"
  echo "environment=\"PATH=$PATH\" $(cat "$work/id.pub")" > "$work/authorized_keys"
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat > "$work/sshd_config" <<CONF
ListenAddress 127.0.0.1
Port $port
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PidFile $work/sshd.pid
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PermitUserEnvironment yes
CONF
  cat > "$work/ssh_config" <<CONF
Host h1
  HostName 127.0.0.1
  Port $port
  User $(id -un)
  IdentityFile $work/id
  IdentitiesOnly yes
  BatchMode yes
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  LogLevel ERROR
CONF
  pid_files+=("$work/sshd.pid")
  /usr/sbin/sshd -f "$work/sshd_config"
  for _ in $(seq 100); do ssh -F "$work/ssh_config" h1 true 2>/dev/null && break; sleep 0.1; done
  report "kadrix-nights, one ssh host" "$base" kadrix-nights --hosts h1 --ssh "ssh -F $work/ssh_config" "${lists[@]}"
else
  echo "ssh: no sshd (openssh-server), left out"
fi

# A single-node Slurm, tuned to start tasks at once.
if [ "$(id -u)" -eq 0 ] && [ -x /usr/sbin/slurmctld ] && [ -x /usr/sbin/munged ]; then
  mkdir -p /run/munge "$work/state" "$work/spool"
  head -c 128 /dev/urandom > "$work/munge.key"
  chmod 400 "$work/munge.key"
  pid_files+=("$work/munged.pid")
  munged --force --socket="$work/munge.sock" --key-file="$work/munge.key" --pid-file="$work/munged.pid" \
    --log-file="$work/munged.log" --seed-file="$work/munged.seed"
  free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
  cat > "$work/slurm.conf" <<CONF
ClusterName=bench
SlurmctldHost=$(hostname -s)(127.0.0.1)
SlurmUser=root
SlurmdUser=root
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge.sock
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
MpiDefault=none
ReturnToService=2
SchedulerParameters=batch_sched_delay=0,sched_min_interval=0
NodeName=benchnode NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=2000 State=UNKNOWN
PartitionName=bench Nodes=benchnode Default=YES MaxTime=INFINITE State=UP
CONF
  export SLURM_CONF="$work/slurm.conf"
  pid_files+=("$work/slurmctld.pid")
  slurmctld -f "$SLURM_CONF" -i
  pid_files+=("$work/slurmd.pid")
  slurmd -f "$SLURM_CONF" -N benchnode
  for _ in $(seq 100); do sinfo -h -o %T 2>/dev/null | grep -q idle && break; sleep 0.1; done
  (cd "$work" && report "kadrix-nights, Slurm" "$base" kadrix-nights --slurm --wait "${lists[@]}")
else
  echo "Slurm: not root, or no slurm-wlm and munge, left out"
fi
