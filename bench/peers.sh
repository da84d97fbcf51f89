#!/usr/bin/env bash
# Times `lumatrice stamp` against peer tools on the same frames: oiiotool on a
# half-float EXR sequence and ffmpeg drawtext on a 16-bit PNG sequence, each
# tool once with its captions and once without, so that what the text costs a
# frame is the difference; and EXR to a ProRes movie against oiiotool then
# ffmpeg drawtext, and against ffmpeg with no text. Runs are interleaved
# round by round (the machine is shared); the tables give medians, frames per
# second, cores busy, the text cost per frame, lumatrice's peak memory and
# the ratios to the targets.
#
#   bench/peers.sh [BUILD_DIR]          (or: make bench-peers)
#   ROUNDS=3 FRAMES=48 SIZE=1920x1080 WORK=BUILD_DIR/peers CHRT=1
#
# CHRT=1 runs every measured command under `chrt -f 10` when allowed, which
# keeps other users' jobs from skewing the comparison; CHRT=0 turns it off.
# The peers are measuring tools, installed here from Debian when missing;
# Lumatrice never depends on them.
set -euo pipefail

BUILD=${1:-build}
ROUNDS=${ROUNDS:-3}
FRAMES=${FRAMES:-48}
SIZE=${SIZE:-1920x1080}
WORK=${WORK:-$BUILD/peers}
export WORK ROUNDS FRAMES SIZE
CHRT=${CHRT:-1}
CLOCK=2026-12-07T09:30:00
FONT=/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf

LUMATRICE=$(realpath "$BUILD/bin/lumatrice" 2>/dev/null || true)
if [ ! -x "$LUMATRICE" ]; then
  echo "peers: $BUILD/bin/lumatrice not found; build first (make)" >&2
  exit 2
fi
SELF=$(realpath "${BASH_SOURCE[0]}")
W=${SIZE%x*}
H=${SIZE#*x}

mkdir -p "$WORK"
WORK=$(realpath "$WORK")
IN=$WORK/in-$SIZE-$FRAMES
OUT=$WORK/out
LOG=$WORK/logs

# The same four texts for the peers: header centre, footer left, centre, right.
oiio_text=(
  --text:x=$((W / 2)):y=15:size=13:color=1,1,1:xalign=center:font=$FONT
  "Lumatrice peers - lighting v12 review"
  --text:x=2:y=$((H - 5)):size=13:color=1,1,1:font=$FONT "{FRAME_NUMBER}"
  --text:x=$((W / 2)):y=$((H - 5)):size=13:color=1,1,1:xalign=center:font=$FONT "captions.lum"
  --text:x=$((W - 2)):y=$((H - 5)):size=13:color=1,1,1:xalign=right:font=$FONT "12/7/2026"
)
box="fontfile=$FONT:fontsize=13:fontcolor=white:box=1:boxcolor=0x3c3c3c:boxborderw=2"
ff_text="drawtext=$box:text='Lumatrice peers - lighting v12 review':x=(w-tw)/2:y=2"
ff_text+=",drawtext=$box:text='%{frame_num}':start_number=1:x=2:y=h-th-2"
ff_text+=",drawtext=$box:text='captions.lum':x=(w-tw)/2:y=h-th-2"
ff_text+=",drawtext=$box:text='12/7/2026':x=w-tw-2:y=h-th-2"

# name | command. Outputs land in $OUT/<name>/.
run_case() {
  local name=$1 o=$OUT/$1
  case $name in
    lumatrice_exr)   "$LUMATRICE" stamp "$IN/exr/shot.#.exr" "$WORK/captions.lum" -o "$o/shot.#.exr" --clock $CLOCK -q ;;
    lumatrice0_exr)  "$LUMATRICE" stamp "$IN/exr/shot.#.exr" "$WORK/nothing.lum" -o "$o/shot.#.exr" -q ;;
    # Every frame decoded and encoded whole (the path before splicing).
    lumatricefull_exr) "$LUMATRICE" stamp "$IN/exr/shot.#.exr" "$WORK/captions.lum" -o "$o/shot.#.exr" --clock $CLOCK -q --full-reencode ;;
    # The floor: copying the input files.
    copy_exr)        cp "$IN"/exr/shot.*.exr "$o/" ;;
    oiiotool_exr)    oiiotool --frames "1-$FRAMES" "$IN/exr/shot.#.exr" "${oiio_text[@]}" -o "$o/shot.#.exr" ;;
    oiiotool0_exr)   oiiotool --frames "1-$FRAMES" "$IN/exr/shot.#.exr" -o "$o/shot.#.exr" ;;
    lumatrice_png)   "$LUMATRICE" stamp "$IN/png/shot.#.png" "$WORK/captions.lum" -o "$o/shot.#.png" --clock $CLOCK -q ;;
    lumatrice0_png)  "$LUMATRICE" stamp "$IN/png/shot.#.png" "$WORK/nothing.lum" -o "$o/shot.#.png" -q ;;
    ffmpeg_png)      ffmpeg -v error -y -start_number 1 -i "$IN/png/shot.%04d.png" -frames:v "$FRAMES" \
                       -vf "$ff_text" -pix_fmt rgba64be -start_number 1 "$o/shot.%04d.png" ;;
    ffmpeg0_png)     ffmpeg -v error -y -start_number 1 -i "$IN/png/shot.%04d.png" -frames:v "$FRAMES" \
                       -pix_fmt rgba64be -start_number 1 "$o/shot.%04d.png" ;;
    lumatrice_jpg)   "$LUMATRICE" stamp "$IN/jpg/shot.#.jpg" "$WORK/captions.lum" -o "$o/shot.#.jpg" --clock $CLOCK -q ;;
    oiiotool_jpg)    oiiotool --frames "1-$FRAMES" "$IN/jpg/shot.#.jpg" "${oiio_text[@]}" -o "$o/shot.#.jpg" ;;
    # EXR to a ProRes 422 HQ movie with captions and slate: in one process;
    # as users do it today (oiiotool's colour conversion to PNG, then ffmpeg
    # drawtext and prores_ks); and ffmpeg with no text (the floor).
    lumatrice_mov)   "$LUMATRICE" stamp "$IN/exr/shot.#.exr" "$WORK/captions.lum" -o "$o/shot.mov" \
                       --codec prores --profile hq --clock $CLOCK -q ;;
    twostep_mov)     oiiotool --frames "1-$FRAMES" "$IN/exr/shot.#.exr" --colorconvert linear sRGB \
                       -d uint16 -o "$o/step.#.png" &&
                     ffmpeg -v error -y -start_number 1 -i "$o/step.%04d.png" -frames:v "$FRAMES" \
                       -vf "$ff_text" -c:v prores_ks -profile:v 3 -pix_fmt yuv422p10le "$o/shot.mov" &&
                     rm -f "$o"/step.*.png ;;
    ffmpeg0_mov)     ffmpeg -v error -y -start_number 1 -i "$IN/exr/shot.%04d.exr" -frames:v "$FRAMES" \
                       -c:v prores_ks -profile:v 3 -pix_fmt yuv422p10le "$o/shot.mov" ;;
  esac
}
# ONLY="lumatrice_exr copy_exr ..." runs a subset.
CASES=(lumatrice_exr lumatricefull_exr copy_exr oiiotool_exr lumatrice0_exr oiiotool0_exr
       lumatrice_png ffmpeg_png lumatrice0_png ffmpeg0_png lumatrice_jpg oiiotool_jpg
       lumatrice_mov twostep_mov ffmpeg0_mov)
if [ "${ONLY:-}" ]; then read -r -a CASES <<<"$ONLY"; fi

# A measured run is this script again with PEERS_CASE set, so that the
# arrays above reach the command and /usr/bin/time sees one process tree.
# lumatrice reports its own stage times (stderr) for the apply table.
if [ "${PEERS_CASE:-}" ]; then
  LUMATRICE_STAGE_TIMES=1 run_case "$PEERS_CASE"
  exit
fi

# ---- the peers -------------------------------------------------------------
need=()
command -v oiiotool >/dev/null || need+=(openimageio-tools)
command -v ffmpeg >/dev/null || need+=(ffmpeg)
[ -f "$FONT" ] || need+=(fonts-dejavu-core)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  echo "peers: installing ${need[*]} (measuring tools only)"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${need[@]}"
fi

RT=()
if [ "$CHRT" = 1 ] && chrt -f 10 true 2>/dev/null; then RT=(chrt -f 10); fi

mkdir -p "$OUT" "$LOG"

# ---- the frames ----------------------------------------------------------------
# The procedural render with a fine grain (so the frames do not compress to
# nothing), quantised to 8 bits, then stored as RGBA half EXR (zip) and RGBA
# 16-bit PNG: the same pictures in both formats.
if [ ! -f "$IN/done" ]; then
  echo "peers: making $FRAMES frames of $SIZE in $IN"
  rm -rf "$IN"
  mkdir -p "$IN/render" "$IN/exr" "$IN/png"
  "$LUMATRICE" scene new "$IN/empty.lum" --empty --force >/dev/null
  "$LUMATRICE" render "$IN/empty.lum" --size "$SIZE" --frames "1-$FRAMES" \
    -o "$IN/render/shot.#.png" -q >/dev/null
  oiiotool --frames "1-$FRAMES" "$IN/render/shot.#.png" \
    --pattern "noise:type=gaussian:mean=0:stddev=0.006:seed={FRAME_NUMBER}" "$SIZE" 3 --add \
    -d uint8 -o "$IN/render/grain.#.png"
  oiiotool --frames "1-$FRAMES" "$IN/render/grain.#.png" --ch R,G,B,A=1.0 -d half \
    --compression zip -o "$IN/exr/shot.#.exr"
  oiiotool --frames "1-$FRAMES" "$IN/render/grain.#.png" --ch R,G,B,A=1.0 -d uint16 \
    -o "$IN/png/shot.#.png"
  rm -rf "$IN/render"
  touch "$IN/done"
fi
# The same pictures as 8-bit RGB JPEG (4:2:0, the writer's default quality),
# made from the PNG frames when an older input folder lacks them.
if [ ! -f "$IN/jpg/done" ]; then
  mkdir -p "$IN/jpg"
  oiiotool --frames "1-$FRAMES" "$IN/png/shot.#.png" --ch R,G,B -d uint8 -o "$IN/jpg/shot.#.jpg"
  touch "$IN/jpg/done"
fi

# Every caption item on, the slate on the first frame.
"$LUMATRICE" scene new "$WORK/captions.lum" --force "Display Filename=on" "Display Date=on" \
  "Comments=Lumatrice peers - lighting v12 review" "Slate Author=Bench Author" \
  "Slate Comments=every block on" >/dev/null
"$LUMATRICE" scene new "$WORK/nothing.lum" --empty --force >/dev/null

# ---- start-up --------------------------------------------------------------
# What a process pays before its frames: `lumatrice --version`, loading
# liblumatrice.so into a process, and stamp chunks of the EXR sequence (a
# chunk that does not hold the render's first frame, so no slate) against
# oiiotool on the same frames, process start included. Medians of
# STARTUP_RUNS runs, interleaved, of wall clock and of CPU time (user and
# system, which a loaded machine disturbs less); peak memory the highest seen.
startup_table() {
  local runs=${STARTUP_RUNS:-11} lib py t0 i n u sy k c t out=$WORK/startup
  lib=$(realpath "$BUILD/lib/liblumatrice.so")
  py='import ctypes, sys, time
def rss():
    return int(next(l for l in open("/proc/self/status") if l.startswith("VmRSS")).split()[1])
r = rss()
c = time.process_time(); t = time.perf_counter(); ctypes.CDLL(sys.argv[1])
print("%d %d %d" % (1e6 * (time.perf_counter() - t), 1e6 * (time.process_time() - c), rss() - r))'
  local -A ms cpu kb
  mkdir -p "$out"
  # name | command; every measured run goes through /usr/bin/time.
  startup_run() {
    local name=$1; shift
    t0=$(date +%s%N)
    /usr/bin/time -f "%U %S %M" -o "$out/$name.kb" "${RT[@]}" "$@" >"$out/$name.out" 2>&1 ||
      { echo "peers: startup $name failed, see $out/$name.out" >&2; exit 1; }
    ms[$name]+=" $(( ($(date +%s%N) - t0) / 1000 ))"
    read -r u sy k < <(tail -1 "$out/$name.kb")
    cpu[$name]+=" $(awk -v u="$u" -v s="$sy" 'BEGIN { print int(1e6 * (u + s)) }')"
    kb[$name]+=" $k"
  }
  for i in $(seq "$runs"); do
    startup_run version "$LUMATRICE" --version
    read -r t c n < <(python3 -c "$py" "$lib")
    ms[library]+=" $t"; cpu[library]+=" $c"; kb[library]+=" $n"
    for n in 2 10; do
      rm -rf "$out/l$n" "$out/o$n"; mkdir -p "$out/l$n" "$out/o$n"
      startup_run "lumatrice_$n" "$LUMATRICE" stamp "$IN/exr/shot.#.exr" "$WORK/captions.lum" \
        -o "$out/l$n/shot.#.exr" --frames "2-$((n + 1))" --render-start 1 --clock $CLOCK -q
      startup_run "oiiotool_$n" oiiotool --frames "2-$((n + 1))" "$IN/exr/shot.#.exr" \
        "${oiio_text[@]}" -o "$out/o$n/shot.#.exr"
    done
  done
  for i in version library lumatrice_2 oiiotool_2 lumatrice_10 oiiotool_10; do
    echo "$i ${ms[$i]# } | ${cpu[$i]# } | ${kb[$i]# }"
  done | awk '
function median(list,   a, n, i, j, t) {
  n = split(list, a, " ")
  for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; j--) {
    t = a[j]; a[j] = a[j - 1]; a[j - 1] = t
  }
  return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
{
  split($0, half, "|"); name = $1; sub(/^[^ ]+ /, "", half[1])
  w[name] = median(half[1]) / 1000; u[name] = median(half[2]) / 1000
  n = split(half[3], k, " "); p[name] = 0
  for (i = 1; i <= n; i++) if (k[i] + 0 > p[name]) p[name] = k[i]
}
END {
  printf "\nStart-up (medians, whole process unless said; peak MB)\n\n"
  printf "| run | wall ms | CPU ms | MB |\n|---|---:|---:|---:|\n"
  printf "| lumatrice --version | %.1f | %.1f | %.1f |\n", w["version"], u["version"], p["version"] / 1024
  printf "| load liblumatrice.so (in the process, MB added) | %.1f | %.1f | %.1f |\n", w["library"],
         u["library"], p["library"] / 1024
  for (c = 2; c <= 10; c += 8)
    printf "| stamp %d EXR frames: lumatrice / oiiotool | %.0f / %.0f | %.0f / %.0f | %.0f / %.0f |\n", c,
           w["lumatrice_" c], w["oiiotool_" c], u["lumatrice_" c], u["oiiotool_" c],
           p["lumatrice_" c] / 1024, p["oiiotool_" c] / 1024
  printf "\nStart-up targets\n\n"
  printf "- lumatrice --version under 30 ms and 30 MB: %.1f ms, %.1f MB (%s)\n", w["version"],
         p["version"] / 1024, (w["version"] < 30 && p["version"] < 30 * 1024) ? "met" : "not met"
  printf "- loading liblumatrice.so under 30 ms and 30 MB: %.1f ms, %.1f MB (%s)\n", w["library"],
         p["library"] / 1024, (w["library"] < 30 && p["library"] < 30 * 1024) ? "met" : "not met"
  printf "- a 2-frame spliced EXR stamp under 0.15 s of process: %.2f s (%s)\n", w["lumatrice_2"] / 1000,
         (w["lumatrice_2"] < 150) ? "met" : "not met"
  r = w["oiiotool_10"] / w["lumatrice_10"]
  printf "- a 10-frame chunk at least 10x oiiotool: %.2fx wall, %.2fx CPU (%s)\n", r,
         u["oiiotool_10"] / u["lumatrice_10"], (r >= 10) ? "met" : "not met"
}'
}
if [ "${ONLY:-}" = startup ]; then startup_table; exit; fi

# ---- the copy floor ------------------------------------------------------------
# `lumatrice stamp` against copying the same files, on bench's smoother frames
# and on a noise sequence (which barely compresses: the most a changed chunk
# can cost), interleaved round by round; target within 2x of the copy.
# ONLY=floor runs nothing else.
copy_floor() {
  local noise=$WORK/noise-$SIZE-$FRAMES seq name o round
  if [ ! -f "$noise/done" ]; then
    echo "peers: making $FRAMES noise frames of $SIZE in $noise"
    rm -rf "$noise"
    mkdir -p "$noise"
    oiiotool --frames "1-$FRAMES" \
      --pattern "noise:type=uniform:min=0:max=1:seed={FRAME_NUMBER}" "$SIZE" 3 \
      --ch R,G,B,A=1.0 -d half --compression zip -o "$noise/shot.#.exr"
    touch "$noise/done"
  fi
  local floor=$WORK/floor.txt
  : >"$floor"
  # Both from the page cache, as the copy reads them after its first round.
  cat "$IN"/exr/shot.*.exr "$noise"/shot.*.exr >/dev/null
  for round in $(seq "$ROUNDS"); do
    for seq in smooth noise; do
      local src=$IN/exr
      [ $seq = noise ] && src=$noise
      for name in copy stamp; do
        o=$OUT/floor-$seq-$name
        rm -rf "$o"
        mkdir -p "$o"
        if [ $name = copy ]; then
          "${RT[@]}" /usr/bin/time -f "%e %U %S" -o "$LOG/floor.time" cp "$src"/shot.*.exr "$o/"
        else
          "${RT[@]}" /usr/bin/time -f "%e %U %S" -o "$LOG/floor.time" "$LUMATRICE" stamp \
            "$src/shot.#.exr" "$WORK/captions.lum" -o "$o/shot.#.exr" --clock $CLOCK -q \
            >"$LOG/floor-$seq.out" 2>&1
        fi
        echo "$seq $name $(tail -1 "$LOG/floor.time")" >>"$floor"
        printf '  round %d  %-6s %-5s %6.2f s\n' "$round" "$seq" "$name" \
          "$(tail -1 "$LOG/floor.time" | cut -d' ' -f1)"
      done
    done
  done
  awk -v frames="$FRAMES" -v size="$SIZE" -v rounds="$ROUNDS" -v noise="$noise" '
  function median(list,   a, n, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; j--) {
      t = a[j]; a[j] = a[j - 1]; a[j - 1] = t
    }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  { wall[$1 " " $2] = wall[$1 " " $2] " " $3; cpu[$1 " " $2] = cpu[$1 " " $2] " " ($4 + $5) }
  END {
    printf "\nStamp against copying the same files: %d frames of %s, half zip EXR, median of %d\n\n", frames, size, rounds
    printf "| sequence | copy s | stamp s | stamp CPU s | stamp ms/frame | x copy | within 2x |\n"
    printf "|---|---:|---:|---:|---:|---:|---|\n"
    split("smooth noise", seqs, " ")
    for (k = 1; k <= 2; k++) {
      q = seqs[k]; c = median(wall[q " copy"]); t = median(wall[q " stamp"])
      printf "| %s | %.2f | %.2f | %.2f | %.1f | %.2f | %s |\n", q, c, t, median(cpu[q " stamp"]),
             1000 * t / frames, t / c, (t <= 2 * c) ? "met" : "not met"
    }
  }' "$floor"
}
if [ "${ONLY:-}" = floor ]; then copy_floor; exit; fi

RESULTS=$WORK/results.txt
STAGES=$WORK/stages.txt
: >"$RESULTS"
: >"$STAGES"
echo "peers: $ROUNDS rounds of ${#CASES[@]} runs, $FRAMES frames of $SIZE${RT:+ (under ${RT[*]})}"
for round in $(seq "$ROUNDS"); do
  # Each round starts one case later, so no case always runs first.
  n=${#CASES[@]}
  for i in $(seq 0 $((n - 1))); do
    name=${CASES[$(((i + round - 1) % n))]}
    rm -rf "${OUT:?}/$name"
    mkdir -p "$OUT/$name"
    if ! PEERS_CASE=$name "${RT[@]}" /usr/bin/time -f "%e %U %S %M" -o "$LOG/$name.time" \
        "$SELF" "$BUILD" >"$LOG/$name.out" 2>&1; then
      echo "peers: $name failed, see $LOG/$name.out" >&2
      exit 1
    fi
    written=$(find "$OUT/$name" -name 'shot.*' | wc -l)
    # A movie is one file of all the frames.
    case $name in *_mov)
      written=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries \
                stream=nb_read_packets -of csv=p=0 "$OUT/$name/shot.mov") ;;
    esac
    if [ "$written" -ne "$FRAMES" ]; then
      echo "peers: $name wrote $written frames, not $FRAMES" >&2
      exit 1
    fi
    echo "$name $(tail -1 "$LOG/$name.time")" >>"$RESULTS"
    # Apply CPU of a caption frame (the slate frame, the slowest, taken out) and of the slate.
    sed -n 's/.*CPU \([0-9.]*\) ms\/frame, slowest \([0-9.]*\) ms.*, \([0-9]*\) frames applied.*/\1 \2 \3/p' \
      "$LOG/$name.out" | tail -1 |
      awk -v n="$name" '{ print n, ($3 > 1) ? ($1 * $3 - $2) / ($3 - 1) : $1, $2 }' >>"$STAGES"
    printf '  round %d  %-15s %6.2f s\n' "$round" "$name" "$(tail -1 "$LOG/$name.time" | cut -d' ' -f1)"
  done
done

# ---- the tables ------------------------------------------------------------------
# JPEG stamped in the DCT domain against oiiotool decoding and encoding
# every frame; and how many blocks of a caption frame kept their
# coefficients (the first frame written after the slate).
jpeg_table() {
  grep -q '^lumatrice_jpg ' "$1" || return 0
  awk -v frames="$FRAMES" '
function median(list,   a, n, i, j, t) {
  n = split(list, a, " ")
  for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; j--) {
    t = a[j]; a[j] = a[j - 1]; a[j - 1] = t
  }
  return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
$1 ~ /_jpg$/ { wall[$1] = wall[$1] " " $2; cpu[$1] = cpu[$1] " " ($3 + $4) }
END {
  printf "\nJPEG (8-bit RGB 4:2:0), captions, median wall clock\n\n| run | s | ms/frame | CPU s |\n|---|---:|---:|---:|\n"
  split("lumatrice_jpg oiiotool_jpg", order, " ")
  for (k = 1; k <= 2; k++) {
    c = order[k]; w[c] = median(wall[c])
    printf "| %s | %.2f | %.1f | %.2f |\n", c, w[c], 1000 * w[c] / frames, median(cpu[c])
  }
  printf "\n- stamp JPEG against oiiotool: %.2fx\n", w["oiiotool_jpg"] / w["lumatrice_jpg"]
}' "$1"
}

awk -v frames="$FRAMES" -v size="$SIZE" -v rounds="$ROUNDS" '
function median(list,   a, n, i, j, t) {
  n = split(list, a, " ")
  for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] + 0 > a[j] + 0; j--) {
    t = a[j]; a[j] = a[j - 1]; a[j - 1] = t
  }
  return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
FILENAME ~ /stages/ {
  capt[$1] = capt[$1] " " $2
  slate[$1] = slate[$1] " " $3
  next
}
{
  wall[$1] = wall[$1] " " $2
  cpu[$1] = cpu[$1] " " ($3 + $4)
  if ($5 > peak[$1]) peak[$1] = $5
}
END {
  split("lumatrice_exr lumatricefull_exr copy_exr lumatrice0_exr oiiotool_exr oiiotool0_exr lumatrice_png lumatrice0_png ffmpeg_png ffmpeg0_png lumatrice_mov twostep_mov ffmpeg0_mov", order, " ")
  printf "\n%d frames of %s, median of %d interleaved runs (wall clock, whole process)\n\n", frames, size, rounds
  printf "| run | text | s | frames/s | ms/frame | cores busy | peak MB |\n"
  printf "|---|---|---:|---:|---:|---:|---:|\n"
  for (k = 1; k <= 13; k++) {
    c = order[k]
    if (!(c in wall)) continue
    w = median(wall[c]); u = median(cpu[c])
    m[c] = w; mc[c] = u
    name = c; sub(/0_/, "_", name)
    printf "| %s | %s | %.2f | %.2f | %.1f | %.2f | %.0f |\n", name, (c ~ /0_/) ? "none" : "captions",
           w, frames / w, 1000 * w / frames, u / w, peak[c] / 1024
  }
  printf "\nWhat the text adds to a frame (with captions minus without; wall, then CPU)\n\n"
  printf "| tool | format | wall ms/frame | CPU ms/frame |\n|---|---|---:|---:|\n"
  split("lumatrice_exr oiiotool_exr lumatrice_png ffmpeg_png", tools, " ")
  for (k = 1; k <= 4; k++) {
    c = tools[k]; b = c; sub(/_/, "0_", b)
    split(c, parts, "_")
    printf "| %s | %s | %+.1f | %+.1f |\n", parts[1], parts[2],
           1000 * (m[c] - m[b]) / frames, 1000 * (mc[c] - mc[b]) / frames
    add[c] = 1000 * (m[c] - m[b]) / frames
  }
  printf "\nWhat the effect costs inside lumatrice stamp (apply stage, CPU of the applying thread, median)\n\n"
  printf "| format | caption frame ms | slate frame ms |\n|---|---:|---:|\n"
  split("lumatrice_exr lumatrice_png", lm, " ")
  for (k = 1; k <= 2; k++) {
    c = lm[k]
    if (!(c in capt)) continue
    split(c, parts, "_")
    ac[c] = median(capt[c])
    printf "| %s | %.2f | %.1f |\n", parts[2], ac[c], median(slate[c])
  }
  if (("lumatrice_mov" in m) && ("twostep_mov" in m) && ("ffmpeg0_mov" in m)) {
    printf "\nMovie targets (EXR to ProRes 422 HQ)\n\n"
    r5 = m["twostep_mov"] / m["lumatrice_mov"]
    r6 = m["lumatrice_mov"] / m["ffmpeg0_mov"]
    printf "- at least 2x the two-step (oiiotool then ffmpeg drawtext): %.2fx (%s)\n", r5, (r5 >= 2) ? "met" : "not met"
    printf "- within 1.3x of ffmpeg with no text: %.2fx its time (%s); peak memory %.0f MB\n", r6,
           (r6 <= 1.3) ? "met" : "not met", peak["lumatrice_mov"] / 1024
  }
  lm_peak = peak["lumatrice_exr"]
  if (peak["lumatrice_png"] > lm_peak) lm_peak = peak["lumatrice_png"]
  printf "\nTargets\n\n"
  r1 = m["oiiotool_exr"] / m["lumatrice_exr"]
  r2 = m["ffmpeg_png"] / m["lumatrice_png"]
  printf "- stamp EXR at least 1.3x the frames/s of oiiotool: %.2fx (%s)\n", r1, (r1 >= 1.3) ? "met" : "not met"
  if ("lumatricefull_exr" in m) {
    printf "- stamp EXR at least 10x oiiotool: %.2fx; at least 5x the whole-frame path (--full-reencode): %.2fx\n",
           r1, m["lumatricefull_exr"] / m["lumatrice_exr"]
    printf "  copy floor %.1f ms/frame; stamp %.1f ms/frame, %.2fx the floor\n", 1000 * m["copy_exr"] / frames,
           1000 * m["lumatrice_exr"] / frames, m["lumatrice_exr"] / m["copy_exr"]
  }
  printf "- stamp 16-bit PNG at least 4x ffmpeg: %.2fx (%s)\n", r2, (r2 >= 4.0) ? "met" : "not met"
  printf "- what the effect adds whole-process under 1 ms a frame: EXR %+.1f ms, PNG %+.1f ms by wall-clock difference (%s)\n",
         add["lumatrice_exr"], add["lumatrice_png"],
         (add["lumatrice_exr"] < 1 && add["lumatrice_png"] < 1) ? "met" : "not met"
  printf "  apply CPU of a caption frame in the process: EXR %.2f ms, PNG %.2f ms (%s)\n",
         ac["lumatrice_exr"], ac["lumatrice_png"],
         (ac["lumatrice_exr"] < 1 && ac["lumatrice_png"] < 1) ? "met" : "not met"
  printf "- peak memory of lumatrice stamp under 300 MB: %.0f MB (%s)\n", lm_peak / 1024,
         (lm_peak < 300 * 1024) ? "met" : "not met"
}' "$STAGES" "$RESULTS"
jpeg_table "$RESULTS"
startup_table
copy_floor
