#!/usr/bin/env bash
# The soak's figures for bench/run reliability: scripts/soak in the benchmarks' Release tree.
#   bench/reliability/soak.sh [N] [SEED]   (default 200 runs, seed 1; about 7 minutes on an idle machine)
# Prints BENCH soak_runs, soak_false_success, soak_fd_growth and soak_rss_growth_kb, and exits 1 when
# the soak's rule broke.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ -f build-bench/build.ninja ] || cmake --preset bench >/dev/null
BRIMWELL_SOAK_BUILD=build-bench exec scripts/soak "${1:-200}" "${2:-1}"
