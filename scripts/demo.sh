#!/usr/bin/env bash
# A first look at the grouper: makes a synthetic table set and a few thousand
# episodes in demo/ with their cost weights, groups and weighs them, shows
# the result lines, the detailed result file and a short summary with the
# case-mix index, writes the casemix report demo/report.html with
# its screenshot demo/report.png (when chromium is there), and compares the
# set with a copy that has one rule edited, weighing both with the set's
# generated weights.tsv (demo/compare.tsv, compare.html: the weight moved).
# Builds the release build first (through scripts/setup.sh) when it is not
# there yet.
#
#   scripts/demo.sh [EPISODES] [SEED]      (defaults: 3000 episodes, seed 2005)
set -euo pipefail
cd "$(dirname "$0")/.."

episodes=${1:-3000}
seed=${2:-2005}
build=${GROUPER_BUILD:-build}  # another build directory may be named here
grouper=$build/src/grouper
tables=$build/tools/grouper-tables
demo=demo

if [[ $build == build && (! -x $grouper || ! -x $tables) ]]; then
  echo "demo: no release build yet, running scripts/setup.sh"
  scripts/setup.sh
fi

rule() { printf '\n== %s\n' "$1"; }

rule "1. A synthetic table set and $episodes episodes (seed $seed)"
rm -rf "$demo"
"$tables" generate --seed "$seed" --profile small --episodes "$episodes" "$demo"
"$tables" verify -v --weights "$demo/weights.tsv" "$demo"

rule "2. The grouper run: $grouper -C $demo --results results.tsv --weights weights.tsv --summary-file summary.txt"
"$grouper" -C "$demo" --results results.tsv --weights weights.tsv --summary-file summary.txt > "$demo/.messages"
# The end message is written in code page 949; shown converted when possible.
iconv -f CP949 -t UTF-8 < "$demo/.messages" 2>/dev/null || cat "$demo/.messages"
echo   # the end message has no line feed of its own
rm -f "$demo/.messages"

rule "3. The first result lines of $demo/tamv30.out (the 193 blanks in the middle shown as '...')"
printf '   %-84s     %-4s  %-8s  %s\n' "episode head (columns 1-84)" ADRG date supplementary
head -n 5 "$demo/tamv30.out" |
  awk '{ printf "   %s ... %s  %s  %s\n", substr($0, 1, 84), substr($0, 278, 4), substr($0, 289, 8), substr($0, 297, 4) }'

rule "4. The first rows of the detailed result file $demo/results.tsv"
head -n 8 "$demo/results.tsv" |
  awk -F'\t' '{ printf "   %-7s %-4s %-5s %-7s %-5s %-11s %-11s %-14s %-7s %s\n", $1, $2, $3, $4, $5, $6, $7, $8, $9, $10 }'

rule "4b. Episodes as named fields: examples/episodes.csv grouped into $demo/episodes.tsv"
"$grouper" -C "$demo" --input "$PWD/examples/episodes.csv" --output episodes.out --results episodes.tsv > /dev/null
awk -F'\t' '{ printf "   %-7s %-6s %-4s %-5s %-7s %-5s %-11s %-11s %-14s %-7s %s\n", $1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11 }' \
  "$demo/episodes.tsv"

rule "5. Summary"
awk -F'\t' '
  NR == 1 { next }
  {
    records++
    if ($3 != "") { grouped++; adrg[$3]++; mdc[$2]++; pccl[$5]++ }
    if ($8 != "0000") supplementary++
  }
  END {
    printf "   records                     %d\n", records
    printf "   grouped (with an ADRG)      %d (%.1f%%)\n", grouped, records ? 100 * grouped / records : 0
    printf "   without an ADRG             %d\n", records - grouped
    printf "   with a supplementary group  %d\n", supplementary
    printf "   PCCL of the grouped records"
    for (p = 0; p <= 4; p++) printf " %d:%d", p, pccl[p]
    printf "\n"
    for (m in mdc) print "mdc", mdc[m], m > "/dev/stderr"
    for (a in adrg) print "adrg", adrg[a], a > "/dev/stderr"
  }' "$demo/results.tsv" 2> "$demo/.counts"
echo "   most frequent MDCs:"
awk '$1 == "mdc" { print $2, $3 }' "$demo/.counts" | sort -k1,1nr -k2,2 | head -n 5 |
  awk '{ printf "     %-5s %6d\n", $2, $1 }'
echo "   most frequent ADRGs:"
awk '$1 == "adrg" { print $2, $3 }' "$demo/.counts" | sort -k1,1nr -k2,2 | head -n 5 |
  awk '{ printf "     %-5s %6d\n", $2, $1 }'
rm -f "$demo/.counts"
echo "   cost weights ($demo/weights.tsv; the whole summary of the findings is $demo/summary.txt):"
sed -n '/^cost weights$/,/^$/p' "$demo/summary.txt" | sed '1d;/^$/d;s/^/     /'

rule "6. The casemix report: $grouper report $demo/results.tsv -o $demo/report.html"
"$grouper" report "$demo/results.tsv" -o "$demo/report.html"
echo "   $demo/report.html: one page, readable offline, with the charts and their numbers"
chromium=$(command -v chromium || true)
if [[ -n $chromium ]]; then
  # A picture of the top of the page, for a look without a browser.
  profile=$(mktemp -d)
  sandbox=()
  [[ $(id -u) -eq 0 ]] && sandbox=(--no-sandbox)  # Chromium refuses to run as root with its sandbox
  if timeout 120 "$chromium" --headless "${sandbox[@]}" --disable-gpu --hide-scrollbars --user-data-dir="$profile" \
      --window-size=1280,2400 --screenshot="$PWD/$demo/report.png" "file://$PWD/$demo/report.html" \
      > "$demo/.chromium.log" 2>&1; then
    echo "   $demo/report.png: a screenshot of its first 2400 pixels"
  else
    echo "   (no screenshot: chromium failed; its messages are in $demo/.chromium.log)"
  fi
  rm -rf "$profile"
  [[ -f $demo/report.png ]] && rm -f "$demo/.chromium.log"
else
  echo "   (no screenshot: chromium is not installed)"
fi

rule "7. The impact of a table version: the same episodes under a copy of the set with one rule edited"
# The copy: the set as text, one rule of the most frequent ADRG pointed at
# another ADRG of its MDC (the last such rule of the set for records from
# 2005 on), built again.
"$tables" dump "$demo" "$demo/edited-text" > /dev/null
frequent=$(awk -F'\t' 'NR > 1 && $3 != "" { n[$3]++ }
  END { for (a in n) if (n[a] > best || (n[a] == best && a < code)) { best = n[a]; code = a }; print code }' \
  "$demo/results.tsv")
awk -F'\t' -v OFS='\t' -v adrg="$frequent" '
  FNR == 1 { pass++ }
  /^@/ { rules = ($0 == "@rules") }
  pass == 1 && rules && $1 ~ /^[0-9]+$/ {
    if ($11 == adrg) { edit = FNR; mdc = $8 }
    else if (!($8 in to_index)) { to_index[$8] = $10; to_code[$8] = $11 }
  }
  pass == 2 {
    if (FNR == edit) {
      printf "   edited rule %s of Tadrg1: ADRG %s -> %s\n", $1, $11, to_code[mdc] > "/dev/stderr"
      $10 = to_index[mdc]; $11 = to_code[mdc]
    }
    print
  }' "$demo/edited-text/Tadrg1.tsv" "$demo/edited-text/Tadrg1.tsv" > "$demo/edited-text/Tadrg1.edited"
mv "$demo/edited-text/Tadrg1.edited" "$demo/edited-text/Tadrg1.tsv"
"$tables" build "$demo/edited-text" "$demo/edited" > /dev/null
weights=()  # the set's generated weight catalogue weighs both sides
[[ -f $demo/weights.tsv ]] && weights=(--weights "$demo/weights.tsv")
echo "   $grouper compare --tables $demo --tables $demo/edited --input $demo/tamv30.in ${weights[*]}"
echo "       --output $demo/compare.tsv --summary-file $demo/compare.txt --html $demo/compare.html"
"$grouper" compare --tables "$demo" --tables "$demo/edited" --input "$demo/tamv30.in" "${weights[@]}" \
  --output "$demo/compare.tsv" --summary-file "$demo/compare.txt" --html "$demo/compare.html"
head -n 24 "$demo/compare.txt" | sed 's/^/   /'
if [[ ${#weights[@]} -gt 0 ]]; then
  echo "   ..."
  # The money: the case-mix before and after, the weight moved and the transitions that move it.
  sed -n '/^weights /,$p' "$demo/compare.txt" | head -n 14 | sed 's/^/   /'
fi

rule "8. The grouping service: $grouper serve, its single-case page with demo record 2 entered"
if command -v chromium > /dev/null &&
  scripts/serve_screenshot.sh "$demo" "$demo/serve-page.png" 2 "$build" > /dev/null; then
  echo "   $demo/serve-page.png: the page as a coder sees it, the case grouped and its steps folded"
else
  echo "   (no screenshot of the page: chromium is missing or failed)"
fi
echo "   Try: $grouper serve --tables $demo --weights $demo/weights.tsv   (then open http://127.0.0.1:8080/)"

echo
echo "Everything is in $demo/: the sixteen table files, tamv30.in, tamv30.out and results.tsv."
echo "Try: $tables dump $demo $demo/text    (the tables as tab-separated text)"
echo "The casemix report: $demo/report.html (open it in a browser)"
if [[ -f $demo/report.png ]]; then
  echo "Its screenshot: $demo/report.png"
fi
echo "The impact of the edited rule ($demo/edited): $demo/compare.tsv (the records it moves, both results"
echo "side by side), $demo/compare.txt (the summary, with the weight moved) and $demo/compare.html (the page,"
echo "open it in a browser)."
if [[ -f $demo/serve-page.png ]]; then
  echo "The single-case page of grouper serve: $demo/serve-page.png"
fi
