#!/usr/bin/env bash
# Keeps the program's sources readable: no source file over 500 lines, and no function of logic
# over 50. Tables (the option tables, a switch that maps one value to another, a form's rows) are
# named below and may be longer. Prints what is over, and fails then.
set -euo pipefail
cd "$(dirname "$0")/.."
# The functions' lengths are read by Universal Ctags.
command -v ctags >/dev/null || scripts/install_deps.sh universal-ctags
tables='^(IdentityOptions|NetworkAndCopyOptions|ScopeOptions|ArchiveOptions|NamingOptions|ReasonOf|CopyPreferences|TypeOfName)$'
sources=$(git ls-files '*.cpp' '*.h' | grep -v '^tests/\|^fuzz/\|^bench/')
over=0
for file in $sources; do
  lines=$(wc -l < "$file")
  if [ "$lines" -gt 500 ]; then
    echo "$file: $lines lines (at most 500)"
    over=1
  fi
done
long=$(ctags --fields=+ne --kinds-C++=f -o - $sources 2>/dev/null | awk -F'\t' -v tables="$tables" '
  { line = ""; end = ""
    for (i = 4; i <= NF; i++) {
      if ($i ~ /^line:/) line = substr($i, 6)
      if ($i ~ /^end:/) end = substr($i, 5)
    }
    if (line != "" && end != "" && end - line + 1 > 50 && $1 !~ tables)
      print $2 ": " $1 " " end - line + 1 " lines (at most 50)" }')
if [ -n "$long" ]; then
  echo "$long"
  over=1
fi
exit $over
