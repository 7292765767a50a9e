#!/usr/bin/env python3
"""Writes forwarding_generated.h: one macro per COM interface of the stand-in's
interposed objects, expanding to an override of every method of that interface
that forwards to an inner object.

Usage: gen_forwarding.py <d3d12.h> <mingw include dir> > forwarding_generated.h

A class uses FORWARD_<Interface>(expr, skip...) is not possible with macros, so
the methods a class implements itself are listed in SPECIAL below and left out.
For every interface the macro takes `inner`, an expression yielding the inner
object at that interface's level (null when the inner object lacks that level).
"""
import re
import sys

SPECIAL = {
    "ID3D12Device": {"CreateCommandQueue"},
    "ID3D12Device9": {"CreateCommandQueue1"},
    "ID3D12CommandQueue": {"ExecuteCommandLists"},
    "IDXGIFactory": {"CreateSwapChain"},
    "IDXGIFactory2": {"CreateSwapChainForHwnd", "CreateSwapChainForCoreWindow",
                      "CreateSwapChainForComposition"},
    "IDXGISwapChain": {"Present", "GetBuffer", "SetFullscreenState", "ResizeBuffers"},
    "IDXGISwapChain1": {"Present1"},
    "IDXGISwapChain3": {"GetCurrentBackBufferIndex", "ResizeBuffers1"},
}

INTERFACES = {
    "d3d12": ["ID3D12Object", "ID3D12DeviceChild", "ID3D12CommandQueue", "ID3D12Device"]
    + ["ID3D12Device%d" % i for i in range(1, 11)],
    "dxgi.h": ["IDXGIObject", "IDXGIDeviceSubObject", "IDXGIFactory", "IDXGIFactory1",
               "IDXGISwapChain"],
    "dxgi1_2.h": ["IDXGIFactory2", "IDXGISwapChain1"],
    "dxgi1_3.h": ["IDXGIFactory3", "IDXGISwapChain2"],
    "dxgi1_4.h": ["IDXGIFactory4", "IDXGISwapChain3"],
    "dxgi1_5.h": ["IDXGIFactory5", "IDXGISwapChain4"],
    "dxgi1_6.h": ["IDXGIFactory6", "IDXGIFactory7"],
}


def interface_body(text, name):
    m = re.search(r"^\s*%s : public \w+\s*\n\s*\{\s*\n(?:\s*public:\s*\n)?" % name, text, re.M)
    if not m:
        raise SystemExit("interface %s not found" % name)
    end = re.compile(r"^\s*\};", re.M).search(text, m.end())
    return text[m.end():end.start()]


def split_items(body):
    """Yields ('pp', line) for preprocessor lines and ('decl', text) for methods."""
    pending = []
    for line in body.splitlines():
        s = line.strip()
        if not s:
            continue
        if s.startswith("#"):
            yield ("pp", s)
            continue
        if s.startswith("DECLSPEC_XFGVIRT"):
            continue
        pending.append(s)
        if s.endswith(";"):
            yield ("decl", " ".join(pending))
            pending = []


DECL = re.compile(r"virtual\s+(.*?)\s*STDMETHODCALLTYPE\s+(\w+)\s*\((.*)\)\s*=\s*0\s*;")


def param_names(params):
    params = params.strip()
    if params in ("", "void"):
        return []
    names = []
    depth = 0
    cur = ""
    parts = []
    for ch in params:
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(cur)
            cur = ""
        else:
            cur += ch
    parts.append(cur)
    for p in parts:
        p = re.sub(r"\[[^\]]*\]\s*$", "", p.strip())
        names.append(re.findall(r"\w+", p)[-1])
    return names


def fallback(ret, names):
    ret = ret.strip()
    if ret == "HRESULT":
        return "return E_NOINTERFACE;"
    if ret == "void":
        return "return;"
    if ret.endswith("*") and "RetVal" in names:
        return "*RetVal = {}; return RetVal;"
    return "return {};"


def emit(name, body):
    out = ["#define FORWARD_%s(inner) \\" % name]
    skip = SPECIAL.get(name, set())
    for kind, item in split_items(body):
        if kind == "pp":
            # Preprocessor lines cannot live inside a macro; the only ones in
            # these interfaces choose the structure-return form per compiler.
            out.append("  /* %s */ \\" % item.replace("/*", "").replace("*/", ""))
            continue
        m = DECL.match(item)
        if not m:
            raise SystemExit("cannot parse: " + item)
        ret, meth, params = m.group(1), m.group(2), m.group(3)
        if meth in skip:
            continue
        names = param_names(params)
        args = ", ".join(names)
        call = "(inner)->%s(%s)" % (meth, args)
        body_text = ("if (auto* i_ = (inner)) return i_->%s(%s); %s" %
                     (meth, args, fallback(ret, names)))
        del call
        out.append("  %s STDMETHODCALLTYPE %s(%s) override { %s } \\" %
                   (ret, meth, params.strip(), body_text))
    out.append("  /* end */")
    return "\n".join(out)


def strip_msvc_forms(body):
    """Keeps the #else branch of '#if defined(_MSC_VER) || !defined(_WIN32)'."""
    lines = body.splitlines()
    result = []
    state = None
    for line in lines:
        s = line.strip()
        if s.startswith("#if defined(_MSC_VER) || !defined(_WIN32)"):
            state = "skip"
            continue
        if s == "#else" and state == "skip":
            state = "keep"
            continue
        if s == "#endif" and state is not None:
            state = None
            continue
        if state == "skip":
            continue
        result.append(line)
    return "\n".join(result)


def main():
    d3d12 = open(sys.argv[1]).read()
    inc = sys.argv[2]
    print("// Generated by gen_forwarding.py from the Direct3D 12 and DXGI headers; do not edit.")
    print("// Forwarding overrides of every method of one interface, the stand-in's own")
    print("// methods left out. MinGW form of the structure-returning methods.")
    print("#pragma once")
    for header, names in INTERFACES.items():
        text = d3d12 if header == "d3d12" else open("%s/%s" % (inc, header)).read()
        for n in names:
            print()
            print(emit(n, strip_msvc_forms(interface_body(text, n))))


if __name__ == "__main__":
    main()
