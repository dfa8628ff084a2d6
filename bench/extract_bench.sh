#!/usr/bin/env bash
# The extraction figures alone (throughput against native `7zz x`, peak memory); see bench.sh.
#   bash bench/extract_bench.sh [BUILD_DIR]
exec bash "$(dirname "${BASH_SOURCE[0]}")/bench.sh" "$@" extract
