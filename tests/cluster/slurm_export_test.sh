#!/usr/bin/env bash
# examples/cluster/slurm-export.sh on a real Slurm: starts a private one-node cluster (munged,
# slurmctld, slurmd, everything in a temporary folder), renders and joins a short movie, checks it,
# then resubmits with one part missing and checks that only that part is rendered again.
# The daemons it started are stopped by their process ids however the test ends.
# Exit status 77: skipped (the reason is printed).
#
#   tests/cluster/slurm_export_test.sh DREVIK SOURCE_DIR DEMO_DIR
set -euo pipefail
drevik=$1 source=$2 demo=$3

skip() { echo "SKIPPED: $*"; exit 77; }
[[ $(id -u) -eq 0 ]] || skip "a private Slurm cluster needs root (slurmd runs jobs as their users)"
for tool in munged slurmctld slurmd sbatch squeue sinfo ffprobe; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh installs slurm-wlm and munge)"
done
[[ -r /etc/munge/munge.key ]] || skip "no munge key in /etc/munge/munge.key"
id munge >/dev/null 2>&1 || skip "no munge user"

root=$(mktemp -d /tmp/drevik-slurm-XXXXXX)
chmod 755 "$root"
pids=()
cleanup() {
  local status=$?
  for file in "$root"/slurmd.pid "$root"/slurmctld.pid "$root"/munge/munged.pid; do
    [[ -s $file ]] && kill "$(cat "$file")" 2>/dev/null || true
  done
  sleep 1
  for file in "$root"/slurmd.pid "$root"/slurmctld.pid "$root"/munge/munged.pid; do
    [[ -s $file ]] && kill -9 "$(cat "$file")" 2>/dev/null || true
  done
  if [[ $status -ne 0 && $status -ne 77 ]]; then
    echo "--- logs"; tail -n 20 "$root"/*.log "$root"/work/*.out 2>/dev/null || true
  fi
  rm -rf "$root"
  exit $status
}
trap cleanup EXIT

mkdir -p "$root/munge" "$root/state" "$root/spool" "$root/work"
chown munge: "$root/munge"
chmod 755 "$root/munge"
su -s /bin/sh munge -c "munged --socket=$root/munge/munge.sock --pid-file=$root/munge/munged.pid \
  --log-file=$root/munge/munged.log --seed-file=$root/munge/munged.seed" ||
  skip "munged does not start here"

host=$(hostname)
# Ports of its own, so that a cluster already running on this machine is not disturbed.
port=$((17000 + RANDOM % 2000))
cat >"$root/slurm.conf" <<CONF
ClusterName=drevik-test
SlurmctldHost=$host
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$root/munge/munge.sock
CredType=cred/munge
StateSaveLocation=$root/state
SlurmdSpoolDir=$root/spool
SlurmctldPidFile=$root/slurmctld.pid
SlurmdPidFile=$root/slurmd.pid
SlurmctldLogFile=$root/slurmctld.log
SlurmdLogFile=$root/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
MpiDefault=none
NodeName=$host CPUs=$(nproc) RealMemory=4000 State=UNKNOWN
PartitionName=debug Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$root/slurm.conf
slurmctld -f "$SLURM_CONF" || skip "slurmctld does not start here"
slurmd -f "$SLURM_CONF" || skip "slurmd does not start here"
for _ in $(seq 100); do
  sinfo -h -o %t 2>/dev/null | grep -q idle && break
  sleep 0.2
done
sinfo -h -o %t | grep -q idle || { echo "FAILED: the node never became idle"; exit 1; }

cd "$root/work"
show=(--graphics "$demo/Graphics.csv" --music "$demo/Music.csv" --width 64 --height 36 --fps 4 --duration 6)
export DREVIK=$drevik
export SBATCH_OPTIONS="--output=$root/work/slurm-%A_%a.out"

echo "== render and join on Slurm"
"$source/examples/cluster/slurm-export.sh" --wait 3 show.mp4 "${show[@]}"
[[ -f show.mp4 ]] || { echo "FAILED: no movie"; exit 1; }
ls show.mp4.part-* 2>/dev/null && { echo "FAILED: the parts were not removed"; exit 1; }
frames=$(ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames -of csv=p=0 show.mp4)
audio=$(ffprobe -v error -select_streams a -show_entries stream=codec_name,channels -of csv=p=0 show.mp4)
[[ $frames == 24 && $audio == aac,1 ]] || { echo "FAILED: $frames frames, audio '$audio'"; exit 1; }

echo "== resubmitted: only the missing part is rendered"
rm -f slurm-*.out
"$drevik" "${show[@]}" --movie again.mp4 --part 0/3 >/dev/null
"$drevik" "${show[@]}" --movie again.mp4 --part 2/3 >/dev/null
"$source/examples/cluster/slurm-export.sh" --wait --keep-parts 3 again.mp4 "${show[@]}"
complete=$(grep -l "is complete already" slurm-*.out | wc -l)
rendered=$(grep -l "Wrote .*again.mp4.part-01-of-03.mp4" slurm-*.out | wc -l)
[[ -f again.mp4 && $complete == 2 && $rendered == 1 ]] ||
  { echo "FAILED: movie $(ls again.mp4 2>&1), $complete parts skipped, $rendered rendered"; exit 1; }
[[ $(ls again.mp4.part-* | wc -l) == 3 ]] || { echo "FAILED: --keep-parts did not keep the parts"; exit 1; }
echo "PASSED"
