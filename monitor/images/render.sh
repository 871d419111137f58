#!/bin/sh
# Draws the monitor's and the setup tool's pictures from the SVG sources beside this script.
# The generated files are kept in the repository, so a build needs neither tool; run this
# after changing a source (needs rsvg-convert from librsvg2-bin and ImageMagick's convert).
#
# Resource paths the programs use (monitor/resource.qrc):
#   :/images/heart.png      tray, printer ready        <- tray-ready.svg   64x64
#   :/images/trash.png      tray, printer stopped      <- tray-stop.svg    64x64
#   :/images/bad.png        tray, printer error        <- tray-error.svg   64x64
#   :/images/t_0.png        toner gauge, black empty   <- t_0.svg          30x60
#   :/images/c100.png       toner gauge, cyan full     <- c100.svg         30x60
#   :/images/t_unknown.png  toner gauge, unknown       <- t_unknown.svg    30x60
#   :/images/y5.png         toner gauge, yellow 5 %    <- y5.svg           30x60
#   :/images/toner.png      toner cartridge            <- toner.svg        120x120
#   :/W3_b256.bmp           status picture, normal     <- W3_b256.svg      256x256, 24-bit BMP
#   :/W3_y256.bmp           status picture, warning    <- W3_y256.svg      256x256, 24-bit BMP
#   :/W3_r256.bmp           status picture, error      <- W3_r256.svg      256x256, 24-bit BMP
#                           (alias at the root; also found as ":/W3_b256" by the suffix search)
#   oemSetup.ico            window icon, 16/32/48/256  <- oemSetup-16.svg (16), oemSetup.svg
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

png() { # source width height output
    rsvg-convert -w "$2" -h "$3" "$1" -o "$tmp/out.png"
    # No time stamps or other chunks that change from run to run.
    convert "$tmp/out.png" -strip "PNG32:$4"
}

png tray-ready.svg 64 64 heart.png
png tray-stop.svg 64 64 trash.png
png tray-error.svg 64 64 bad.png
for gauge in t_0 c100 t_unknown y5; do
    png "$gauge.svg" 30 60 "$gauge.png"
done
png toner.svg 120 120 toner.png

# The status pictures are opaque already; BMP3 with TrueColor is the plain 24-bit form.
for c in b y r; do
    rsvg-convert -w 256 -h 256 "W3_${c}256.svg" -o "$tmp/w3.png"
    convert "$tmp/w3.png" -background '#fbfbfb' -alpha remove -alpha off -type TrueColor \
        "BMP3:W3_${c}256.bmp"
done

rsvg-convert -w 16 -h 16 oemSetup-16.svg -o "$tmp/i16.png"
for s in 32 48 256; do
    rsvg-convert -w "$s" -h "$s" oemSetup.svg -o "$tmp/i$s.png"
done
convert "$tmp/i16.png" "$tmp/i32.png" "$tmp/i48.png" "$tmp/i256.png" oemSetup.ico
