# Shared by the checks that run kelvora's output through other people's tools.
# A missing tool skips the check (exit 77) on a developer's machine and fails
# it in CI, where .ci/run installs every tool first.
set -euo pipefail

need() {
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      if [ "${CI:-}" = "true" ]; then
        echo "FAIL: $tool is not installed (CI installs it; see .ci/run)"
        exit 1
      fi
      echo "SKIP: $tool is not installed"
      exit 77
    fi
  done
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "all checks passed"
}
