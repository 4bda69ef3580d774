#!/usr/bin/env bash
# End-to-end tests of pointcloud-view's pictures and refusals, with no display.
#
#   pictures_test.sh same-frames VIEWER
#       The demo's lattice drawn as it is at angles -20,37,0 gives one PNG, byte for byte,
#       whether it comes from --scene cube or from the lattice written as text or as PLY.
#   pictures_test.sh bad-files VIEWER
#       A missing file, a folder, an empty file, compressed LAS, random bytes and a PLY whose
#       header never ends: each gets status 2, one line on standard error that names the file,
#       and no picture.
#   pictures_test.sh script-pictures VIEWER
#       --size, --background and an output name with a number: every frame of the turn is
#       written at that size, numbered from 0, over that background.
#   pictures_test.sh wine-same-bytes VIEWER WINDOWS_VIEWER
#       The Windows build under Wine reads the lattice as text and writes the very bytes that
#       the Linux build writes.
set -euo pipefail

mode=$1
viewer=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Draws `cloud` (a file, or --scene NAME) as it is at the angles of the demo's frame 37.
draw() {
    local picture=$1
    shift
    "$@" --no-fit --angles=-20,37,0 --output "$picture" >"$work/out" ||
        fail "$* ended with status $?: $(cat "$work/out")"
}

# The demo's lattice, x slowest and z fastest, each coordinate stepping down from 60000.
write_lattice() {
    awk 'BEGIN { for (x = 50; x > -50; x--) for (y = 50; y > -50; y--)
                 for (z = 50; z > -50; z--) print x * 1200, y * 1200, z * 1200, 0, 0, 255 }'
}

same_frames() {
    write_lattice >"$work/lattice.xyz"
    {
        printf 'ply\nformat ascii 1.0\nelement vertex 1000000\n'
        printf 'property float x\nproperty float y\nproperty float z\n'
        printf 'property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n'
        cat "$work/lattice.xyz"
    } >"$work/lattice.ply"
    draw "$work/scene.png" "$viewer" --scene cube
    for file in lattice.xyz lattice.ply; do
        draw "$work/$file.png" "$viewer" "$work/$file"
        grep -q "^$file: 1,000,000 points" "$work/out" || fail "$file: $(cat "$work/out")"
        cmp "$work/scene.png" "$work/$file.png" || fail "$file gives another picture"
    done
    echo "--scene cube, lattice.xyz and lattice.ply give the same picture"
}

refused() {
    local file=$1 status=0
    "$viewer" "$file" --output "$work/refused.png" >"$work/out" 2>"$work/err" || status=$?
    [ "$status" -eq 2 ] || fail "$file: status $status"
    [ "$(wc -l <"$work/err")" -eq 1 ] || fail "$file: not one line: $(cat "$work/err")"
    grep -q "^pointcloud-view: $file: " "$work/err" || fail "$file: $(cat "$work/err")"
    [ ! -e "$work/refused.png" ] || fail "$file: a picture was written"
    echo "refused: $(cat "$work/err")"
}

bad_files() {
    mkdir "$work/folder.ply"
    : >"$work/empty.xyz"
    printf 'LASF%0223d' 0 >"$work/compressed.laz"
    head -c 4096 /dev/urandom >"$work/random.las"
    printf 'ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n' >"$work/endless.ply"
    for file in missing.ply folder.ply empty.xyz compressed.laz random.las endless.ply; do
        refused "$work/$file"
    done
}

script_pictures() {
    "$viewer" --scene rhino --size 320x200 --background navy --frames 3 --turn-step 30 \
        --output "$work/turn%02d.png" >"$work/out" || fail "status $?: $(cat "$work/out")"
    for number in 00 01 02; do
        [ "$(identify -format '%w %h' "$work/turn$number.png")" = "320 200" ] ||
            fail "turn$number.png is not 320 x 200"
        [ "$(convert "$work/turn$number.png" -format "%[fx:int(255*p{0,0}.r)],%[fx:int(255*p{0,0}.b)]" info:)" = "0,128" ] ||
            fail "turn$number.png has not the background asked for"
    done
    [ ! -e "$work/turn03.png" ] || fail "a fourth frame was written"
    ! cmp -s "$work/turn00.png" "$work/turn01.png" || fail "the frames do not turn"
    echo "three numbered frames of 320 x 200 on navy"
}

wine_same_bytes() {
    local windows_viewer=$3
    [ -f "$windows_viewer" ] || { echo "SKIP: $windows_viewer has not been built"; exit 77; }
    export WINEDEBUG=-all
    write_lattice >"$work/lattice.xyz"
    draw "$work/linux.png" "$viewer" "$work/lattice.xyz"
    draw "$work/windows.png" wine "$windows_viewer" "$work/lattice.xyz"
    cmp "$work/linux.png" "$work/windows.png" || fail "the Windows build draws another picture"
    echo "the Windows build writes the same bytes"
}

case $mode in
    same-frames) same_frames ;;
    bad-files) bad_files ;;
    script-pictures) script_pictures ;;
    wine-same-bytes) wine_same_bytes "$@" ;;
    *) echo "usage: see the head of $0" >&2; exit 2 ;;
esac
