# Symbols of the run
$set $root = /data/basin
$set $maps = $root///maps
$set $n = 1
$set $n = 2
  $set $indented = /data/basin/indented/   # written unchanged
$set $out = /results/run7#against the comment
$set $settings = /home/run/
[files]
dem = $maps///dem.asc
count = $n
pair = $n;5
out = $out
cfg = $settings//main.ini
ind = $indented//grid.asc
path = $root///x # a comment
