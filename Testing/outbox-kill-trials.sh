#!/usr/bin/env bash
# Kills a flushing process at random moments many more times than `make test` does (a sample of
# 20): runs the outbox processor's random-kill test with KESTRO_KILL_TRIALS set; a failing trial
# is named in the test's output by its number.
# `make reliability` runs it with KILL_TRIALS kills (1000 unless given), then the whole fault
# matrix; CI runs `make reliability` after the tests.
#
#   Testing/outbox-kill-trials.sh [build dir (build/default)] [trials (1000)]
#
# Each trial takes from a twentieth of a second on an idle two-core machine to about a third of
# a second on a busy one. The exit status is the test's: 0 when every trial ended with every
# capture complete, one capture per client id at the server, every staged file in place and a
# sound database.
set -euo pipefail

build_dir=${1:-build/default}
trials=${2:-1000}
program="${build_dir}/KestroCore/OutboxProcessor/KestroOutboxProcessorTests"
if [[ ! -x "${program}" ]]; then
  echo "$0: ${program} is not built (make build first)" >&2
  exit 2
fi
if ! [[ "${trials}" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [build dir] [trials]" >&2
  exit 2
fi

KESTRO_KILL_TRIALS=${trials} exec "${program}" \
  --gtest_filter='OutboxProcessorCrashTest.FlushesKilledAtRandomMomentsAreFinishedByTheNextFlush'
