#!/bin/bash
# Writes an A4 PostScript job of PAGES pages (default 20) to standard output: a title, a page of
# running text in two fonts, a bar chart, a gray ramp, circles and a line graph on every page.
#   make-job.sh [PAGES] > job.ps
set -euo pipefail
pages=${1:-20}

cat <<'PROLOG'
%!PS-Adobe-3.0
%%Title: ZLP5520NW benchmark job
%%Creator: bench/make-job.sh
%%BoundingBox: 0 0 595 842
%%DocumentMedia: A4 595 842 80 white ()
PROLOG
echo "%%Pages: $pages"
cat <<'PROLOG'
%%EndComments
%%BeginProlog
/words [(printer) (laser) (toner) (paper) (stream) (filter) (queue) (driver) (status)
        (monochrome) (resolution) (page) (duplex) (network) (backend) (rasterizer)
        (header) (trailer) (density) (margin)] def
/seed 1 def
/rand { seed 1103515245 mul 12345 add 2147483647 and /seed exch def seed } def
/line {                          % y -> draws one line of pseudo-random words at y
  /y exch def 56 y moveto
  { words rand -16 bitshift words length mod get
    dup stringwidth pop currentpoint pop add 530 gt { pop exit } if
    show ( ) show } loop
} def
/bars {                          % a small bar chart with axes
  gsave 330 470 translate
  0 setlinewidth 0 0 moveto 0 160 lineto 0 0 moveto 220 0 lineto stroke
  0 1 9 { /i exch def
    i 10 div 0.8 mul setgray
    i 22 mul 4 add 0 18 rand -20 bitshift 150 mod 10 add rectfill } for
  grestore
} def
/ramp {                          % a horizontal gray ramp
  gsave 56 470 translate
  0 1 199 { /i exch def i 200 div setgray i 1.2 mul 0 1.3 160 rectfill } for
  grestore
} def
/circles {
  gsave 300 170 translate 0.5 setlinewidth
  1 1 24 { /r exch def r 40 mod 40 div setgray newpath r 5 mul 0 moveto
    0 0 r 5 mul 0 360 arc stroke } for
  grestore
} def
/graph {
  gsave 56 90 translate 1.5 setlinewidth 0 setgray
  newpath 0 60 moveto
  0 4 480 { /x exch def x x 17 div sin 50 mul 60 add rand -24 bitshift 10 mod add
    lineto } for stroke
  grestore
} def
%%EndProlog
%%BeginSetup
<< /PageSize [595 842] >> setpagedevice
%%EndSetup
PROLOG

for page in $(seq 1 "$pages"); do
    cat <<PAGE
%%Page: $page $page
/seed $page 7919 mul def
0 setgray
/Helvetica-Bold findfont 22 scalefont setfont
56 780 moveto (Benchmark page $page of $pages) show
/Times-Roman findfont 10 scalefont setfont
760 -12 650 { line } for
newpath /Courier findfont 9 scalefont setfont
0.3 setgray 440 -11 400 { line } for 0 setgray
ramp bars circles graph
showpage
PAGE
done
echo "%%Trailer"
echo "%%EOF"
