# Sourced by the bench scripts: runs the sides of a measure in turn, so that a
# machine that slows down mid-run slows every side alike. Needs REPS and say.
# interleave FUNCTION SIDE...: every side once per repetition, order rotated.
interleave() {
  local fn=$1; shift
  local sides=("$@") n=$# r i
  for ((r = 0; r < REPS; r++)); do
    for ((i = 0; i < n; i++)); do
      local side=${sides[$(((i + r) % n))]}
      say "   rep $((r + 1))/$REPS: $side (load $(cut -d' ' -f1 /proc/loadavg))"
      $fn $side
    done
  done
}
