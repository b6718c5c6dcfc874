#!/bin/bash
# One zarvo-cli generate run as a Slurm job array: task I of --array=1-N makes shard
# I of N. The shards' files go to OUT (a folder that every node sees) as shard-I.txt;
# a file is whole once it is there (-o FILE replaces a file only when its run succeeds).
#
#   sbatch docs/examples/slurm-array.sbatch
#   sbatch --array=1-32 docs/examples/slurm-array.sbatch        (32 shards)
#
#SBATCH --job-name=zarvo-shards
#SBATCH --array=1-8
#SBATCH --cpus-per-task=1
#SBATCH --output=zarvo-shards-%A_%a.log
set -euo pipefail
# Slurm numbers the tasks as --array says (1-8, or 0-7: counted from the first); the
# number of tasks is the number of shards.
TASK=${SLURM_ARRAY_TASK_ID:?run under sbatch, or set SLURM_ARRAY_TASK_ID}
I=$((TASK - ${SLURM_ARRAY_TASK_MIN:-1} + 1))
N=${SLURM_ARRAY_TASK_COUNT:-8}
SEED=${SEED:-42}
TOTAL=${TOTAL:-1000000}
RANGES=${RANGES:-fd00::/32}
OUT=${OUT:-$PWD/zarvo-shards}
mkdir -p "$OUT"
exec zarvo-cli generate --random --total "$TOTAL" --seed "$SEED" --shard "$I/$N" -o "$OUT/shard-$I.txt" $RANGES
