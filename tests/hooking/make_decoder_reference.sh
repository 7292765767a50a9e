#!/bin/sh
# Writes <outdir>/decoder_reference.txt: the instructions that objdump finds in the code sections
# of Wine's 64-bit system DLLs. One line per instruction: its bytes in hex, then " r<hex>" with
# the absolute address of a RIP-relative operand or " b<hex>" with the target of a relative
# branch, as objdump computed them. "!" marks bytes objdump did not decode as an instruction
# ("(bad)", ".byte" at a symbol edge). "section <module> <name> <hex address>" starts a new
# byte stream at that address.
set -eu
outdir="$1"
dlls="${DECODER_DLL_DIR:-/usr/lib/x86_64-linux-gnu/wine/x86_64-windows}"
mkdir -p "$outdir"
out="$outdir/decoder_reference.txt"
: > "$out.tmp"
for m in ntdll kernelbase user32 wined3d d3d12 dxgi; do
  x86_64-w64-mingw32-objdump -d -z --insn-width=16 "$dlls/$m.dll" |
    awk -v mod="$m" -F '\t' '
      /^Disassembly of section / { sub(/^Disassembly of section /, ""); sub(/:$/, ""); pending = $0; next }
      /^ *[0-9a-f]+:\t/ {
        bytes = $2; gsub(/ +$/, "", bytes); gsub(/ /, "", bytes)
        if (bytes == "") next
        if (pending != "") {
          addr = $1; gsub(/[ :]/, "", addr)
          print "section " mod " " pending " " addr
          pending = ""
        }
        ins = $3
        bad = (ins ~ /^\(bad\)/ || ins ~ /^\.byte/ || ins == "") ? "!" : ""
        extra = ""
        if (bad == "" && ins ~ /\(%[re]ip\)/ && match(ins, /# [0-9a-f]+/)) {
          extra = " r" substr(ins, RSTART + 2, RLENGTH - 2)
        } else if (bad == "") {
          # A direct branch: the mnemonic (after any prefixes) followed by a bare hex address.
          n = split(ins, w, / +/)
          for (i = 1; i < n; i++) {
            if (w[i] ~ /^(call|jmp|j[a-z]+|loop[a-z]*|xbegin)$/ && w[i + 1] ~ /^[0-9a-f]+$/) {
              extra = " b" w[i + 1]
              break
            }
          }
        }
        print bad bytes extra
      }' >> "$out.tmp"
done
mv "$out.tmp" "$out"
