#!/usr/bin/env bash
# One zarvo-cli generate run spread over machines with GNU parallel: shard I of N runs
# on whichever machine of HOSTS has a free slot, and its lines come back here.
# Every machine needs zarvo-cli (the same version) on its PATH and ssh access without a
# password; ":" in HOSTS stands for this machine (HOSTS=: runs every shard here).
#
#   HOSTS=8/alpha,8/beta N=16 docs/examples/parallel-sshlogin.sh > lines.txt
#
# Each shard's lines go to OUT/shard-I.txt when OUT is set (on this machine: parallel
# brings every job's output back), else all of them to standard output, one shard's
# lines after another (parallel holds a job's output until it ends). The seed makes the
# shards agree on one random order.
set -euo pipefail
HOSTS=${HOSTS:-:}
N=${N:-8}
SEED=${SEED:-42}
TOTAL=${TOTAL:-1000000}
RANGES=${RANGES:-fd00::/32}
ZARVO_CLI=${ZARVO_CLI:-zarvo-cli}

shard() { # the command of one shard, as the remote shell runs it
    echo "$ZARVO_CLI generate --random --total $TOTAL --seed $SEED --shard {}/$N $RANGES"
}

if [ -n "${OUT:-}" ]; then
    mkdir -p "$OUT"
    # --results keeps each job's output apart, here: OUT/shard-I.txt, its standard error
    # (the "N IPs generated." line) in OUT/shard-I.txt.err. --halt stops at the first failure.
    seq 1 "$N" | parallel --sshlogin "$HOSTS" --halt now,fail=1 --results "$OUT/shard-{}.txt" "$(shard)" >/dev/null
else
    seq 1 "$N" | parallel --sshlogin "$HOSTS" --halt now,fail=1 "$(shard)"
fi
