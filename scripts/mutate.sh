#!/usr/bin/env bash
# Puts deliberate faults into the product code, one at a time, and tells which of them the test
# suite notices. A fault nobody notices points at a missing test.
#
#   scripts/mutate.sh                 every fault in scripts/mutations.txt
#   scripts/mutate.sh ID...           only these faults
#   scripts/mutate.sh --list          the faults, without running anything
#   scripts/mutate.sh --check         whether every entry still finds its text in the checkout
#
# The faults go into a scratch copy of the committed tree (HEAD), never into the checkout. The copy
# and its build directory are kept between runs ($MUTATE_DIR, by default build-mutate/ in the
# checkout), so that each fault rebuilds only what it touches. For each fault the script builds the
# tests its entry names, runs them with a JACK server of their own (scripts/with-jack.sh) and puts
# the file back. A fault counts as
#   caught        a test failed (or the tests ran out of time: a hang is noticed too)
#   missed        the tests passed
#   compiler      the build failed: caught, but by the compiler, counted apart
#   stale         the text to replace is not in the file exactly once: fix the entry
# Results go to stdout and to $MUTATE_DIR/results.tsv. Run on demand; it is not part of CI.
#
# Environment: MUTATE_DIR (scratch place), MUTATE_JOBS (build jobs, default 2), MUTATE_TIMEOUT
# (seconds per fault for build and tests, default 600), MUTATE_LIST (the fault list).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
list=${MUTATE_LIST:-$root/scripts/mutations.txt}
scratch=${MUTATE_DIR:-$root/build-mutate}
jobs=${MUTATE_JOBS:-2}
limit=${MUTATE_TIMEOUT:-600}
tree=$scratch/tree
build=$tree/build

export QT_QPA_PLATFORM=offscreen
export ORVEL_MIDI_API=jack

mkdir -p "$scratch"
helper=$scratch/mutation-helper.pl

# The fault list: blocks of "key: value" lines, a blank line between blocks. "find" and "replace"
# come in pairs and may repeat; "\n" in them stands for a line break. Keys: id, room, file, tests
# (a CTest regex), find, replace, and optionally why (what the fault is).
cat >"$helper" <<'PERL'
use strict;
use warnings;

sub entries {
    my ($path) = @_;
    open my $fh, '<', $path or die "cannot read $path: $!\n";
    my @entries;
    my $cur;
    while (my $line = <$fh>) {
        chomp $line;
        if ($line =~ /^\s*$/) { push @entries, $cur if $cur; $cur = undef; next; }
        next if $line =~ /^#/;
        my ($key, $value) = $line =~ /^(\w+): ?(.*)$/ or die "$path:$.: not a key: value line\n";
        $cur //= { pairs => [] };
        $value =~ s/\\n/\n/g if $key eq 'find' || $key eq 'replace';
        if ($key eq 'find') { push @{ $cur->{pairs} }, [$value, undef]; }
        elsif ($key eq 'replace') {
            die "$path:$.: replace without find\n" unless @{ $cur->{pairs} } && !defined $cur->{pairs}[-1][1];
            $cur->{pairs}[-1][1] = $value;
        } else { $cur->{$key} = $value; }
    }
    push @entries, $cur if $cur;
    for my $e (@entries) {
        for my $k (qw(id room file tests)) { die "entry without $k\n" unless defined $e->{$k}; }
        die "$e->{id}: no find/replace\n" unless @{ $e->{pairs} };
        for my $p (@{ $e->{pairs} }) { die "$e->{id}: find without replace\n" unless defined $p->[1]; }
    }
    my %seen;
    for my $e (@entries) { die "duplicate id $e->{id}\n" if $seen{ $e->{id} }++; }
    return @entries;
}

sub occurrences {
    my ($text, $needle) = @_;
    my ($count, $at) = (0, 0);
    while ((my $i = index($text, $needle, $at)) >= 0) { $count++; $at = $i + 1; }
    return $count;
}

my ($command, $listPath, @rest) = @ARGV;
my @entries = entries($listPath);
if ($command eq 'index') {
    print join("\t", $_->{id}, $_->{room}, $_->{file}, $_->{tests}, $_->{why} // ''), "\n" for @entries;
} elsif ($command eq 'check') {
    my ($tree) = @rest;
    my $bad = 0;
    for my $e (@entries) {
        open my $in, '<', "$tree/$e->{file}" or do { print "$e->{id}: no file $e->{file}\n"; $bad++; next; };
        local $/;
        my $text = <$in>;
        for my $p (@{ $e->{pairs} }) {
            my $n = occurrences($text, $p->[0]);
            next if $n == 1;
            $bad++;
            print "$e->{id}: \"", ($p->[0] =~ s/\n/\\n/gr), "\" occurs $n times in $e->{file}\n";
        }
    }
    exit($bad ? 3 : 0);
} elsif ($command eq 'apply') {
    my ($id, $tree) = @rest;
    my ($e) = grep { $_->{id} eq $id } @entries or die "no fault $id\n";
    my $path = "$tree/$e->{file}";
    open my $in, '<', $path or do { print STDERR "$id: no file $e->{file}\n"; exit 3; };
    local $/;
    my $text = <$in>;
    close $in;
    for my $p (@{ $e->{pairs} }) {
        my $n = occurrences($text, $p->[0]);
        if ($n != 1) {
            my $shown = $p->[0] =~ s/\n/\\n/gr;
            print STDERR "$id: \"$shown\" occurs $n times in $e->{file}\n";
            exit 3;
        }
        my $i = index($text, $p->[0]);
        substr($text, $i, length $p->[0]) = $p->[1];
    }
    open my $out, '>', $path or die "cannot write $path: $!\n";
    print $out $text;
    close $out;
} else {
    die "unknown command $command\n";
}
PERL

mapfile -t index_lines < <(perl "$helper" index "$list") || exit 2
[ ${#index_lines[@]} -gt 0 ] || { echo "mutate: no faults in $list" >&2; exit 2; }

if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${index_lines[@]}" | awk -F'\t' '{ printf "%-28s %-10s %s\n", $1, $2, $5 }'
  exit 0
fi

if [ "${1:-}" = "--check" ]; then
  perl "$helper" check "$list" "$root" && echo "mutate: all ${#index_lines[@]} entries apply"
  exit
fi

declare -A wanted=()
for id in "$@"; do wanted[$id]=1; done

# --- the scratch copy: HEAD, with unchanged files left alone so the build stays incremental ---
echo "== scratch copy of $(git -C "$root" rev-parse --short HEAD) in $tree"
fresh=$scratch/head
rm -rf "$fresh"
mkdir -p "$fresh" "$tree"
git -C "$root" archive HEAD | tar -x -C "$fresh"
(cd "$fresh" && find . -type f) | while read -r f; do
  if ! cmp -s "$fresh/$f" "$tree/$f"; then
    mkdir -p "$(dirname "$tree/$f")"
    cp "$fresh/$f" "$tree/$f"
  fi
done
(cd "$tree" && find . -path ./build -prune -o -type f -print) | while read -r f; do
  [ -e "$fresh/$f" ] || rm -f "$tree/$f"
done

echo "== build (this first one takes a while; later runs reuse it)"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
fi
cmake --build "$build" -j "$jobs" >"$scratch/baseline-build.log" 2>&1 || {
  echo "mutate: the unchanged tree does not build; see $scratch/baseline-build.log" >&2
  exit 1
}
mapfile -t all_targets < <(ninja -C "$build" -t targets all 2>/dev/null | sed -n 's/^\([^ :]*\): phony$/\1/p')
declare -A is_target=()
for t in "${all_targets[@]}"; do is_target[$t]=1; done

# CTest's regular expressions take few groups: name the tests instead of joining the regexes.
tests_of() { ctest --test-dir "$build" -N -R "$1" | sed -n 's/^ *Test *#[0-9]*: *//p'; }

# The targets to build for a set of tests: the tests' own programs (each test is named after its
# program), and the application for the tests that run it from a script.
targets_for() {
  local regex=$1 names name out=()
  names=$(tests_of "$regex")
  for name in $names; do
    if [ -n "${is_target[$name]:-}" ]; then out+=("$name"); else out+=(orvel); fi
  done
  printf '%s\n' "${out[@]}" | sort -u
}

run_tests() {
  local regex=$1 log=$2
  timeout "$limit" bash "$root/scripts/with-jack.sh" \
    ctest --test-dir "$build" --output-on-failure --no-tests=error --stop-on-failure -R "$regex" >"$log" 2>&1
}

# --- the suite must pass on the unchanged tree, else every fault would look caught ---
selected=()
for line in "${index_lines[@]}"; do
  IFS=$'\t' read -r id room file tests why <<<"$line"
  if [ ${#wanted[@]} -eq 0 ] || [ -n "${wanted[$id]:-}" ]; then selected+=("$line"); fi
done
[ ${#selected[@]} -gt 0 ] || { echo "mutate: none of the given ids is in $list" >&2; exit 2; }
union="^($(printf '%s\n' "${selected[@]}" | cut -f4 | sort -u | while read -r r; do tests_of "$r"; done |
  sort -u | paste -sd'|'))\$"
echo "== tests on the unchanged tree: $union"
if ! run_tests "$union" "$scratch/baseline-tests.log"; then
  echo "mutate: tests fail without any fault; see $scratch/baseline-tests.log" >&2
  exit 1
fi

# --- one fault at a time ---
results=$scratch/results.tsv
: >"$results"
logs=$scratch/logs
rm -rf "$logs"
mkdir -p "$logs"
start=$(date +%s)
caught=0 missed=0 compiler=0 stale=0
for line in "${selected[@]}"; do
  IFS=$'\t' read -r id room file tests why <<<"$line"
  t0=$(date +%s)
  saved=$scratch/original
  cp "$tree/$file" "$saved" 2>/dev/null || : >"$saved"
  if ! perl "$helper" apply "$list" "$id" "$tree" 2>"$logs/$id.log"; then
    outcome=stale
  else
    mapfile -t targets < <(targets_for "$tests")
    if ! timeout "$limit" cmake --build "$build" -j "$jobs" --target "${targets[@]}" >>"$logs/$id.log" 2>&1; then
      outcome=compiler
    elif run_tests "$tests" "$logs/$id.tests.log"; then
      outcome=missed
    else
      outcome=caught
    fi
  fi
  # A fresh time stamp, so that the next build sees the file changed back.
  cp "$saved" "$tree/$file"
  case $outcome in
    caught) caught=$((caught + 1)) ;;
    missed) missed=$((missed + 1)) ;;
    compiler) compiler=$((compiler + 1)) ;;
    stale) stale=$((stale + 1)) ;;
  esac
  printf '%-28s %-10s %-9s %4ss\n' "$id" "$room" "$outcome" "$(($(date +%s) - t0))"
  printf '%s\t%s\t%s\t%s\t%s\n' "$id" "$room" "$outcome" "$file" "$why" >>"$results"
done
# Leave the scratch build matching HEAD for the next run.
cmake --build "$build" -j "$jobs" >/dev/null 2>&1

total=${#selected[@]}
elapsed=$(($(date +%s) - start))
echo
echo "caught by tests: $caught, missed: $missed, caught by the compiler: $compiler, stale entries: $stale"
echo "$((caught + compiler)) caught / $total total ($caught by tests), $((elapsed / 60)) min $((elapsed % 60)) s"
if [ "$missed" -gt 0 ]; then
  echo "missed:"
  awk -F'\t' '$3 == "missed" { printf "  %-28s %s\n", $1, $5 }' "$results"
fi
[ "$stale" -eq 0 ]
