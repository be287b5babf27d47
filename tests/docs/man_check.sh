#!/usr/bin/env bash
# Formats the manual page with every groff warning turned on; any warning fails. Skipped (status 77) where
# groff is not installed.
#   tests/docs/man_check.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
command -v groff >/dev/null || { echo "groff is not installed"; exit 77; }
warnings="$(groff -man -Tutf8 -ww "$root/docs/chromaloom.1" 2>&1 >/dev/null)"
if [[ -n "$warnings" ]]; then
    echo "$warnings"
    exit 1
fi
