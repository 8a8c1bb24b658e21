#!/bin/sh
# Writes examples/sample.img, the small tape image the README converts: a
# 16-byte header block (a file name padded with spaces, then the load address
# 0x1000 and the length of the program, little-endian) followed by the text
# of a short program. Run from the repository root: sh examples/make-sample.sh
set -eu
out=examples/sample.img
program='10 REM KELVORA SAMPLE TAPE
20 PRINT "HELLO FROM THE TAPE"
30 FOR I=1 TO 10
40 PRINT I, I*I, I*I*I
50 NEXT I
60 PRINT "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG"
70 PRINT "0123456789 !#$%&()*+,-./:;<=>?@[]^_"
80 GOTO 20
'
length=$(printf '%s' "$program" | wc -c)
{
  printf 'SAMPLE    '
  printf "\\000\\020"
  printf "\\$(printf '%03o' $((length % 256)))\\$(printf '%03o' $((length / 256)))"
  printf '\001\000'
  printf '%s' "$program"
} > "$out"
