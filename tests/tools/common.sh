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

# numpy for the python3 that $numpy names: skipped (or failed in CI) without it.
need_numpy() {
  numpy=/usr/bin/python3
  if ! "$numpy" -c 'import numpy' 2>/dev/null; then
    [ "${CI:-}" = "true" ] && { echo "FAIL: numpy is not installed (CI installs python3-numpy)"; exit 1; }
    echo "SKIP: numpy is not installed"
    exit 77
  fi
}

# A reader in the $kelvora under test: it is left out when built without libsndfile.
need_reader() {
  local probe
  probe=$("$kelvora" --read /dev/null /dev/null 2>&1 || true)
  if [[ $probe == *"not available"* ]]; then
    [ "${CI:-}" = "true" ] && { echo "FAIL: kelvora was built without libsndfile (CI installs libsndfile1-dev)"; exit 1; }
    echo "SKIP: kelvora was built without libsndfile"
    exit 77
  fi
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
