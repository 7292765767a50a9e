#!/bin/sh
# Writes <outdir>/decoder_reference.txt: the instruction boundaries that objdump finds in the
# code sections of Wine's 64-bit system DLLs. One line per instruction with its bytes in hex;
# "!" marks bytes objdump did not decode as an instruction ("(bad)", ".byte" at a symbol edge);
# "section <module> <name>" starts a new byte stream.
set -eu
outdir="$1"
dlls="${DECODER_DLL_DIR:-/usr/lib/x86_64-linux-gnu/wine/x86_64-windows}"
mkdir -p "$outdir"
out="$outdir/decoder_reference.txt"
: > "$out.tmp"
for m in ntdll kernelbase user32 wined3d d3d12 dxgi; do
  x86_64-w64-mingw32-objdump -d -z --insn-width=16 "$dlls/$m.dll" |
    awk -v mod="$m" -F '\t' '
      /^Disassembly of section / { sub(/^Disassembly of section /, ""); sub(/:$/, ""); print "section " mod " " $0; next }
      /^ *[0-9a-f]+:\t/ {
        bytes = $2; gsub(/ +$/, "", bytes); gsub(/ /, "", bytes)
        if (bytes == "") next
        bad = ($3 ~ /^\(bad\)/ || $3 ~ /^\.byte/ || $3 == "") ? "!" : ""
        print bad bytes
      }' >> "$out.tmp"
done
mv "$out.tmp" "$out"
