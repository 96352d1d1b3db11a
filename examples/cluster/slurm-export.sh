#!/usr/bin/env bash
# Renders a Drevik movie on a Slurm cluster: one job array renders the parts, one task per part,
# and a second job, started only when every part succeeded, joins them into the movie.
#
#   examples/cluster/slurm-export.sh [--wait] [--keep-parts] PARTS MOVIE [drevik options...]
#
#   PARTS          number of parts (array tasks); each is a run of whole groups of pictures
#   MOVIE          the movie to write, on a folder every node sees; the parts go beside it
#   drevik options the same for every task: --graphics, --music, --width, --height, --fps, --duration
#   --wait         return only when the join has finished, with its exit status
#   --keep-parts   leave the part files beside the movie after the join
#
# Environment: DREVIK, the program to run on the nodes (default: drevik on the PATH);
# SBATCH_OPTIONS, more options for both submissions (partition, time limit, log files, ...).
# Resubmitting the same command renders only the parts that are not complete yet.
set -euo pipefail

if [[ ${1-} == --task ]]; then
  # Inside a job: $2 is part or join, then the part count, the movie and drevik's options.
  mode=$2 parts=$3 movie=$4
  shift 4
  drevik=${DREVIK:-drevik}
  case $mode in
    part) exec "$drevik" "$@" --movie "$movie" --part "${SLURM_ARRAY_TASK_ID:?not an array task}/$parts" ;;
    join) exec "$drevik" "$@" --movie "$movie" --join "$parts" ;;
  esac
  echo "slurm-export.sh: unknown task $mode" >&2
  exit 2
fi

wait=() keep=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --wait) wait=(--wait); shift ;;
    --keep-parts) keep=(--keep-parts); shift ;;
    *) break ;;
  esac
done
if [[ $# -lt 2 || ! $1 =~ ^[1-9][0-9]*$ ]]; then
  sed -n '5,15p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
parts=$1 movie=$2
shift 2
self=$(readlink -f "$0")
read -r -a extra <<<"${SBATCH_OPTIONS:-}"

array=$(sbatch --parsable --job-name=drevik-parts --array="0-$((parts - 1))" "${extra[@]}" \
  "$self" --task part "$parts" "$movie" "$@")
array=${array%%;*}
echo "Parts: job array $array (tasks 0-$((parts - 1)))"
# A part that fails cancels the join instead of leaving it waiting forever.
join=$(sbatch --parsable --job-name=drevik-join --dependency="afterok:$array" --kill-on-invalid-dep=yes \
  "${extra[@]}" "${wait[@]}" "$self" --task join "$parts" "$movie" "$@" "${keep[@]}")
echo "Join: job ${join%%;*}"
