#!/usr/bin/env bash
# The keys of the land-use, multilayer land-use and soil tables that their readers look up are
# the keys docs/control-file.md names in the key tables of those sections, no more and no less,
# and every range the key tables give a key is the one its reader enforces.
# Reader side, in the three reader sources without their comments: every string literal that is
# a word (letters, digits, "_", "*", "-"), wherever it stands (a call over several lines, a list
# of pairs, a lambda's argument), is a key, but for the few words named below that are methods,
# values or units; a family "NAME%.02d" stands for its first and last member, NAME00 and NAME10.
# The ranges: every call of CheckRange, RequireWithin and the soil reader's within and heat
# with a key literal, its bounds evaluated from the numbers and the constants of the sources and
# core/value_ranges.h (heat: up to its bound, from 0).
# Reference side: the backticked names in the first column of the tables of the sections
# [multilayer_landuse], [landuse_table] and [soil_table]; a range of a row is "`key` LOW to HIGH"
# (or "`a` and `b` LOW to HIGH", "`key` up to HIGH"), or a single "LOW to HIGH" / "up to HIGH" in
# a row whose first column names one key. "up to" compares the upper bound alone.
# Usage: documented_keys_check.sh SOURCE_DIR
set -euo pipefail
root=${1:?usage: documented_keys_check.sh SOURCE_DIR}
readers=("$root/tables/landuse_entries.cpp" "$root/tables/landuse_multilayer.cpp"
         "$root/tables/soil_table.cpp")
reference=$root/docs/control-file.md
constants=$root/core/value_ranges.h
for file in "${readers[@]}" "$reference" "$constants"; do
  [ -s "$file" ] || { echo "FAILED: $file is missing"; exit 1; }
done

exec perl -e '
use strict;
use warnings;
my ($reference, $constants, @readers) = @ARGV;
# Words among the literals that are no keys: the block methods of [landuse_table], the values of
# SR_cultivation, units.
my %not_a_key = map { $_ => 1 } qw(VariableDayCount DynamicPhenology_1 DynamicPhenology_2
  DynamicPhenology_3 DynamicPhenology_4 conserving nonconserving other m mm);
my $number = qr/-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?/;

sub slurp { local $/; open(my $in, "<", $_[0]) or die "cannot read $_[0]\n"; return <$in>; }

# The source without its comments, string literals kept whole.
sub strip_comments {
  my ($text) = @_;
  my $out = "";
  while ($text =~ /\G(?:("(?:[^"\\]|\\.)*")|(\x27(?:[^\x27\\]|\\.)*\x27)|(\/\/[^\n]*)|(\/\*.*?\*\/)|(.))/gcs) {
    $out .= defined $1 ? $1 : defined $2 ? $2 : defined $5 ? $5 : " ";
  }
  return $out;
}

# The arguments of the call whose "(" stands at $open in $text, split at the commas of its level.
sub arguments {
  my ($text, $open) = @_;
  my ($depth, $current, @args) = (0, "");
  pos($text) = $open;
  while ($text =~ /\G("(?:[^"\\]|\\.)*"|.)/gcs) {
    my $piece = $1;
    if ($piece eq "(" || $piece eq "{" || $piece eq "[") { $current .= $piece if $depth++ > 0; next; }
    if ($piece eq ")" || $piece eq "}" || $piece eq "]") {
      if (--$depth == 0) { push @args, $current; last; }
      $current .= $piece;
      next;
    }
    if ($piece eq "," && $depth == 1) { push @args, $current; $current = ""; next; }
    $current .= $piece;
  }
  s/^\s+|\s+$//g for @args;
  return @args;
}

my %constant;
for my $file ($constants, @readers) {
  my $text = strip_comments(slurp($file));
  $constant{$1} = $2 while $text =~ /constexpr\s+(?:double|int)\s+(k\w+)\s*=\s*([^;]+);/g;
}
sub value {
  my ($expression, $depth) = @_;
  die "constant loop in $expression\n" if ($depth // 0) > 10;
  $expression =~ s/\b(k\w+)\b/exists $constant{$1} ? "(" . value($constant{$1}, ($depth \/\/ 0) + 1) . ")" : die "unknown constant $1\n"/ge;
  die "not a number: $expression\n" unless $expression =~ /^[\s\d.eE()+*\/-]+$/;
  my $result = eval $expression;
  die "cannot evaluate $expression\n" unless defined $result;
  return $result;
}

my (%asked, %enforced);
for my $file (@readers) {
  my $text = strip_comments(slurp($file));
  while ($text =~ /"((?:[^"\\]|\\.)*)"/g) {
    my $literal = $1;
    if ($literal =~ /^([A-Za-z_]+)%\.02d$/) { $asked{"${1}00"} = $asked{"${1}10"} = 1; next; }
    next unless $literal =~ /^[A-Za-z][A-Za-z0-9_*-]*$/ && !$not_a_key{$literal};
    $asked{$literal} = 1;
  }
  # The range checks: (key argument, low argument, high argument; low undefined: from 0 up to).
  my %form = (CheckRange => [2, 5, 6], RequireWithin => [4, 6, 7], within => [0, 2, 3],
              heat => [0, undef, 2]);
  while ($text =~ /\b(CheckRange|RequireWithin|within|heat)\s*\(/g) {
    my ($name, $open) = ($1, $+[0] - 1);
    my @args = arguments($text, $open);
    my ($k, $l, $h) = @{$form{$name}};
    next unless defined $args[$k] && $args[$k] =~ /^"([^"]+)"$/;
    my $key = $1;
    my $low = defined $l ? value($args[$l]) : undef;
    my $high = value($args[$h]);
    $enforced{$key}{(defined $low ? $low : "up") . " $high"} = [$low, $high];
  }
}

my (%named, %documented);
my $on = 0;
for my $line (split /\n/, slurp($reference)) {
  if ($line =~ /^## /) {
    $on = $line eq "## [multilayer_landuse]" || $line eq "## [landuse_table]" || $line eq "## [soil_table]";
    next;
  }
  next unless $on && $line =~ /^\|\s*`/;
  my (undef, $first, @rest) = split /\|/, $line;
  my @keys = $first =~ /`([^`]+)`/g;
  $named{$_} = 1 for @keys;
  (my $row = join("|", @rest)) =~ s/\x{2212}|\xe2\x88\x92/-/g;   # a minus sign as "-"
  $row =~ s/\xe2\x80\x93/ to /g;                                  # "1–366" as "1 to 366"
  my @ranges;
  while ($row =~ /((?:`[^`]+`\s*(?:,\s*|\s+and\s+)?)+?)\s*(?:($number)\s+to\s+($number)|up\s+to\s+($number))/g) {
    my ($names, $low, $high) = ($1, $2, defined $3 ? $3 : $4);
    $low = undef unless defined $3;
    my @row_keys = $names =~ /`([^`]+)`/g;
    push @ranges, [$_, $low, $high] for @row_keys;
  }
  if (!@ranges && @keys == 1) {
    my @bare;
    while ($row =~ /(?<![\w.`])(?:($number)\s+to\s+($number)|up\s+to\s+($number))/g) {
      push @bare, defined $1 ? [$keys[0], $1, $2] : [$keys[0], undef, $3];
    }
    die "FAILED: the row of `$keys[0]` gives " . scalar(@bare) . " ranges: give each its key\n"
      if @bare > 1;
    @ranges = @bare;
  }
  $documented{$_->[0]} = [$_->[1], $_->[2]] for grep { $named{$_->[0]} || grep { $_ eq $_->[0] } @keys } @ranges;
}

my @asked = sort keys %asked;
if (@asked < 80) { print "FAILED: only " . scalar(@asked) . " keys found in the readers\n"; exit 1; }
my @undocumented = grep { !$named{$_} } @asked;
my @unread = grep { !$asked{$_} } sort keys %named;
my @wrong;
for my $key (sort keys %documented) {
  my ($low, $high) = @{$documented{$key}};
  my $text = (defined $low ? "$low to " : "up to ") . $high;
  if (!$enforced{$key}) { push @wrong, "`$key` $text: the reader enforces no range"; next; }
  my $same = grep {
    my ($l, $h) = @$_;
    abs($h - $high) <= 1e-12 * abs($h) && (!defined $low || (defined $l && abs($l - $low) <= 1e-12 * abs($l)))
  } values %{$enforced{$key}};
  push @wrong, "`$key` $text: the reader enforces " . join(" or ", map { (defined $_->[0] ? "$_->[0] to " : "up to ") . $_->[1] } values %{$enforced{$key}}) unless $same;
}
for my $key (sort keys %enforced) {
  next if $documented{$key} || !$named{$key};
  push @wrong, "`$key`: the reader enforces " . join(" or ", map { (defined $_->[0] ? "$_->[0] to " : "up to ") . $_->[1] } values %{$enforced{$key}}) . ", the documentation gives no range";
}
my $status = 0;
if (@undocumented) { print "FAILED: keys the readers look up that docs/control-file.md does not name:\n"; print "  $_\n" for @undocumented; $status = 1; }
if (@unread) { print "FAILED: keys docs/control-file.md names that no reader looks up:\n"; print "  $_\n" for @unread; $status = 1; }
if (@wrong) { print "FAILED: documented ranges that are not the readers\x27:\n"; print "  $_\n" for @wrong; $status = 1; }
printf "all %d keys of the land-use and soil tables are documented, and their %d documented ranges are the readers\x27\n", scalar(@asked), scalar(keys %documented) unless $status;
exit $status;
' "$reference" "$constants" "${readers[@]}"
