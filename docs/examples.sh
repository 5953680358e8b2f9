#!/usr/bin/env bash
# Runs the commands of the README's section "Making patches" and compares
# what they print with the output shown there.
#
# Usage: docs/examples.sh [BUILD_DIR]   (default: build in the source tree,
# which must hold mendrix and mendrix-make)
#
# The section is the README's text between the lines "<!-- examples -->" and
# "<!-- end of examples -->". In each of its indented blocks, a line "$ cmd"
# is a command and the lines up to the next command are its output (standard
# output and standard error together, as a terminal shows them, blanks at
# line ends ignored). A line "..." stands for any number of lines. The commands
# run one after another in one shell, from the top of the source tree, with
# BUILD_DIR first on the PATH and standard input from /dev/null; a command
# that fails ends the check.
#
# On a difference it prints both versions of the block and exits with 1.
set -euo pipefail
exec </dev/null

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$(cd "${1:-$source_dir/build}" && pwd)"
for program in mendrix mendrix-make; do
  [ -x "$build_dir/$program" ] || { echo "examples.sh: no $build_dir/$program" >&2; exit 1; }
done

scratch="$(mktemp -d "${TMPDIR:-/tmp}/mendrix-examples.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/tmp"

# The blocks, one file each: block.N holds its lines without the indent.
awk -v out="$scratch/block" '
  /^<!-- examples -->$/ { inside = 1; next }
  /^<!-- end of examples -->$/ { inside = 0; next }
  !inside { next }
  /^    / { if (!open) { n++; open = 1 } print substr($0, 5) > (out "." n); next }
  /^$/ { if (open) print "" > (out "." n); next }
  { open = 0 }
' "$source_dir/README.md"
# A blank line inside a block belongs to it, one after it does not.
blocks=()
for file in "$scratch"/block.*; do
  [ -e "$file" ] || break
  sed -i -e :a -e '/^\n*$/{$d;N;ba' -e '}' "$file"
  # Blocks without commands (a usage line, a layout) are not checked.
  grep -q '^\$ ' "$file" && blocks+=("$file")
done
if [ ${#blocks[@]} -eq 0 ]; then
  echo "examples.sh: no example blocks in README.md" >&2
  exit 1
fi

# The commands of all blocks run in one shell, so that cd and variables
# carry over; a marker line separates the output of each command.
marker="@@mendrix-example@@"
script="$scratch/run.sh"
{
  echo "set -e"
  echo "export PATH=\"$build_dir:\$PATH\" TZ=UTC TMPDIR=\"$scratch/tmp\""
  echo "cd \"$source_dir\""
  for file in "${blocks[@]}"; do
    while IFS= read -r line; do
      case "$line" in
        '$ '*)
          printf 'echo %q\n' "$marker ${line#\$ }"
          printf '%s\n' "${line#\$ }"
          ;;
      esac
    done <"$file"
  done
} >"$script"
# Each line as a terminal shows it: a backspace moves one column back (not
# past the first), a carriage return to the first column, and what follows
# writes over what stood there. The search's progress display relies on it.
render() {
  awk '{
    n = length($0); out = ""; col = 0
    for (i = 1; i <= n; i++) {
      c = substr($0, i, 1)
      if (c == "\b") { if (col > 0) col--; continue }
      if (c == "\r") { col = 0; continue }
      if (col < length(out)) out = substr(out, 1, col) c substr(out, col + 2)
      else out = out c
      col++
    }
    print out
  }'
}

# mktemp in the commands makes its folders below the scratch folder, which
# goes at the end.
(cd "$source_dir" && bash "$script" 2>&1) | render >"$scratch/actual" || {
  echo "examples.sh: a command failed; its output so far:" >&2
  cat "$scratch/actual" >&2
  exit 1
}

# Splits the output into the commands' transcripts ("$ cmd" and its lines).
awk -v marker="$marker" -v out="$scratch/ran" '
  index($0, marker " ") == 1 { n++; print "$ " substr($0, length(marker) + 2) > (out "." n); next }
  { print > (out "." n) }
' "$scratch/actual"

# The lines shown (with "..." for any run of lines) against the lines printed.
matches() {
  local i=0 j=0
  while [ $i -lt ${#want[@]} ]; do
    if [ "${want[$i]}" = "..." ]; then
      i=$((i + 1))
      [ $i -lt ${#want[@]} ] || return 0
      while [ $j -lt ${#got[@]} ] && [ "${got[$j]}" != "${want[$i]}" ]; do j=$((j + 1)); done
      [ $j -lt ${#got[@]} ] || return 1
    elif [ $j -ge ${#got[@]} ] || [ "${want[$i]}" != "${got[$j]}" ]; then
      return 1
    fi
    i=$((i + 1))
    j=$((j + 1))
  done
  [ $j -eq ${#got[@]} ]
}

strip_ends() { sed -e 's/[[:blank:]]*$//'; }

status=0
command=0
for file in "${blocks[@]}"; do
  commands=$(grep -c '^\$ ' "$file" || true)
  : >"$scratch/got"
  for ((k = 1; k <= commands; k++)); do
    command=$((command + 1))
    cat "$scratch/ran.$command" >>"$scratch/got"
  done
  mapfile -t want < <(strip_ends <"$file")
  mapfile -t got < <(strip_ends <"$scratch/got")
  if ! matches; then
    echo "examples.sh: the output differs from README.md:" >&2
    echo "--- shown" >&2
    printf '    %s\n' "${want[@]}" >&2
    echo "--- printed" >&2
    printf '    %s\n' "${got[@]}" >&2
    status=1
  fi
done
[ $status -ne 0 ] || echo "examples.sh: ${#blocks[@]} blocks, $command commands, output as shown"
exit $status
