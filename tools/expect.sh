# The pass/fail counting of the shell checks (sourced): `expect <description>
# <command...>` counts the command's outcome and names a failure on standard
# error; `passed` and `failed` hold the counts.
passed=0
failed=0
expect() {  # expect <description> <command...>
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else
    failed=$((failed + 1))
    echo "FAILED: $what" >&2
  fi
}
