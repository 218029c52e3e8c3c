#!/usr/bin/env bash
# The keys of the land-use, multilayer land-use and soil tables that their readers look up are
# the keys docs/control-file.md names in the key tables of those sections, no more and no less.
# Reader side: every key string handed to a look-up in the three reader sources (a key after
# "items, ", "block, " or "text, ", in a {"key", &field} pair, or in scalar("key") or
# optional_list("key"); a numbered family "NAME%.02d" stands for its first and last member,
# NAME00 and NAME10). Reference side: the backticked names in the first column of the tables
# of the sections [multilayer_landuse], [landuse_table] and [soil_table].
# Usage: documented_keys_check.sh SOURCE_DIR
set -euo pipefail
root=${1:?usage: documented_keys_check.sh SOURCE_DIR}
readers=("$root/tables/landuse_entries.cpp" "$root/tables/landuse_multilayer.cpp"
         "$root/tables/soil_table.cpp")
reference=$root/docs/control-file.md
for file in "${readers[@]}" "$reference"; do
  [ -s "$file" ] || { echo "FAILED: $file is missing"; exit 1; }
done

asked=$(
  {
    grep -ohE '(items|block|text), "[^"]+"|\{"[^"]+", &|pair\{"[^"]+", &|(scalar|optional_list)\("[^"]+"' \
      "${readers[@]}" | sed -E 's/^[^"]*"([^"]+)".*$/\1/'
    grep -ohE 'FormatText\("[A-Za-z_]+%\.02d"' "${readers[@]}" |
      sed -E 's/^FormatText\("([A-Za-z_]+)%\.02d"$/\100\n\110/'
  } | grep -E '^[A-Za-z][A-Za-z0-9_*-]*$' | sort -u
)

named=$(
  awk '/^## / { on = ($0 == "## [multilayer_landuse]" || $0 == "## [landuse_table]" ||
                       $0 == "## [soil_table]") }
       on && /^\| *`/ {
         split($0, cells, "|"); first = cells[2]
         while (match(first, /`[^`]+`/)) {
           print substr(first, RSTART + 1, RLENGTH - 2)
           first = substr(first, RSTART + RLENGTH)
         }
       }' "$reference" | sort -u
)

# A family written "`SU_PAR00` .. `SU_PAR10`" gives both ends, as the reader side does.
undocumented=$(comm -23 <(echo "$asked") <(echo "$named"))
unread=$(comm -13 <(echo "$asked") <(echo "$named"))
count=$(echo "$asked" | wc -l)
if [ "$count" -lt 80 ]; then
  echo "FAILED: only $count keys found in the readers; the look-up calls changed their form"
  exit 1
fi
status=0
if [ -n "$undocumented" ]; then
  echo "FAILED: keys the readers look up that docs/control-file.md does not name:"
  echo "$undocumented" | sed 's/^/  /'
  status=1
fi
if [ -n "$unread" ]; then
  echo "FAILED: keys docs/control-file.md names that no reader looks up:"
  echo "$unread" | sed 's/^/  /'
  status=1
fi
[ "$status" -eq 0 ] && echo "all $count keys of the land-use and soil tables are documented"
exit "$status"
