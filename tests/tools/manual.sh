#!/usr/bin/env bash
# The manual page must render without a single groff warning.
# Usage: manual.sh path/to/kelvora.1
page=$1
. "$(dirname "$0")/common.sh"
need groff
warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
finish
