#!/usr/bin/env python3
"""Writes the forwarding proxy headers of src/proxies from the public interface headers.

Each proxy header holds a marked block that this script rewrites. Each proxy implements the newest interface of its family; every slot forwards in one line to the inner
pointer named for it, except the slots listed as special, which are only declared (their bodies live in the
proxy's .cpp). Also writes tests/proxies/slot_tables.h: name and parameter count of every slot, which the
slot-order tests use. Run after changing a proxy's table below, then clang-format the outputs.
"""
import re
import sys
from pathlib import Path

D3D12 = "/usr/include/directx/d3d12.h"
DXGI = ["/usr/share/mingw-w64/include/dxgi.h", "/usr/share/mingw-w64/include/dxgi1_2.h",
        "/usr/share/mingw-w64/include/dxgi1_3.h", "/usr/share/mingw-w64/include/dxgi1_4.h",
        "/usr/share/mingw-w64/include/dxgi1_5.h", "/usr/share/mingw-w64/include/dxgi1_6.h"]

SAL = re.compile(r"\b_[A-Z][A-Za-z0-9_]*_(\((?:[^()]|\([^()]*\))*\))?")


class Method:
    def __init__(self, decl):
        decl = SAL.sub("", " ".join(decl.split()))
        m = re.match(r"virtual (.+?)\s*STDMETHODCALLTYPE\s+(\w+)\s*\((.*)\)\s*=\s*0$", decl)
        if not m:
            raise SystemExit("cannot parse: " + decl)
        self.ret = m.group(1).strip().replace("WINBOOL", "BOOL")
        self.name = m.group(2)
        params = m.group(3).strip()
        self.params = [] if params in ("", "void") else [p.strip().replace("WINBOOL", "BOOL") for p in params.split(",")]
        self.names = [re.findall(r"\w+", p)[-1] for p in self.params]


def parse(files):
    """Interface name -> (base, [slot entries]); a slot entry is a Method or a (msvc, mingw) pair."""
    out = {}
    for f in files:
        text = Path(f).read_text().replace("\r", "") + "\n"
        for m in re.finditer(r"\n\s*(\w+) : public (\w+)\s*\{(.*?)\n\s*\};", text, re.S):
            name, base, body = m.groups()
            body = re.sub(r"^\s*public:\s*$", "", body, flags=re.M)
            slots, cond = [], None
            for chunk in re.split(r"(#if[^\n]*\n|#else[^\n]*\n|#endif[^\n]*(?:\n|$)|= 0;)", body):
                if chunk.startswith("#if"):
                    cond = []
                elif chunk.startswith("#else"):
                    cond.append("else")
                elif chunk.startswith("#endif"):
                    slots.append((cond[0], cond[2]))
                    cond = None
                elif chunk == "= 0;":
                    continue
                elif "virtual" in chunk:
                    meth = Method(chunk[chunk.index("virtual"):] + " = 0")
                    (cond.append(meth) if cond is not None else slots.append(meth))
            if name not in out:
                out[name] = (base, slots)
    return out


def chain(table, newest):
    names = []
    while newest != "IUnknown":
        names.append(newest)
        newest = table[newest][0]
    return list(reversed(names))


def declaration(meth, target, special):
    params = ", ".join(meth.params)
    head = f"{meth.ret} STDMETHODCALLTYPE {meth.name}({params}) override"
    if special:
        return head + ";"
    call = f"{target}->{meth.name}({', '.join(meth.names)})"
    return head + (f" {{ {call}; }}" if meth.ret == "void" else f" {{ return {call}; }}")


PROXIES = [
    dict(cls="D3D12CommandQueueProxy", table="queueSlots", newest="ID3D12CommandQueue", files=[D3D12],
         default="inner", upgraded=[], special=["QueryInterface", "ExecuteCommandLists"]),
    dict(cls="D3D12DeviceProxy", table="deviceSlots", newest="ID3D12Device10", files=[D3D12], default="native", upgraded=[],
         special=["QueryInterface", "CreateCommandQueue", "CreateShaderResourceView", "CreateCommandQueue1"]),
    dict(cls="DXGISwapChainProxy", table="swapChainSlots", newest="IDXGISwapChain4", files=DXGI, default="native",
         upgraded=["GetBuffer", "SetFullscreenState", "ResizeBuffers", "GetCurrentBackBufferIndex",
                   "ResizeBuffers1"],
         special=["QueryInterface", "Present", "Present1"]),
    dict(cls="DXGIFactoryProxy", table="factorySlots", newest="IDXGIFactory7", files=DXGI, default="native", upgraded=[],
         special=["QueryInterface", "CreateSwapChain", "CreateSwapChainForHwnd", "CreateSwapChainForCoreWindow"]),
]

IUNKNOWN = [Method("virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0"),
            Method("virtual ULONG STDMETHODCALLTYPE AddRef() = 0"),
            Method("virtual ULONG STDMETHODCALLTYPE Release() = 0")]


def emit(p):
    table = parse(p["files"])
    lines, slots = [], []
    for iface in ["IUnknown"] + chain(table, p["newest"]):
        entries = IUNKNOWN if iface == "IUnknown" else table[iface][1]
        lines.append(f"    // {iface}")
        for e in entries:
            meths = e if isinstance(e, tuple) else (e,)
            target = "upgraded" if meths[0].name in p["upgraded"] else p["default"]
            special = meths[0].name in p["special"]
            if len(meths) == 2:
                lines.append("#if defined(_MSC_VER) || !defined(_WIN32)")
                lines.append("    " + declaration(meths[0], target, special))
                lines.append("#else")
                lines.append("    " + declaration(meths[1], target, special))
                lines.append("#endif")
            else:
                lines.append("    " + declaration(meths[0], target, special))
            slots.append((meths[-1].name, len(meths[-1].params)))
    return "\n".join(lines), slots


def main(root):
    tables = []
    for p in PROXIES:
        body, slots = emit(p)
        path = Path(root, "src/proxies", p["cls"] + ".h")
        text = path.read_text()
        begin, end = "    // BEGIN generated forwarders\n", "    // END generated forwarders\n"
        head, rest = text.split(begin)
        path.write_text(head + begin + body + "\n" + end + rest.split(end)[1])
        rows = ",\n".join(f'    {{"{n}", {c}}}' for n, c in slots)
        tables.append(f"inline constexpr SlotInfo {p['table']}[] = {{\n{rows}\n}};\n"
                      f"static_assert(std::size({p['table']}) == {len(slots)});\n")
    Path(root, "tests/proxies").mkdir(parents=True, exist_ok=True)
    Path(root, "tests/proxies/slot_tables.h").write_text(
        "// Generated by scripts/generate_proxies.py: every slot's operation and parameter count\n"
        "// (without the object; MinGW's out-pointer form for structure returns).\n#pragma once\n#include <iterator>\n\n"
        "struct SlotInfo {\n    const char* name;\n    int parameterCount;\n};\n\n" + "\n".join(tables))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).resolve().parent.parent))
