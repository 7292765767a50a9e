#!/usr/bin/env python3
"""Writes every COM forwarder of the project from the Direct3D 12 and DXGI interface headers.

One table per class (CLASSES below) says which interface the class implements, where each interface's
slots go, and which slots are special. From it this script writes, in the headers' slot order:
  - the block between "// BEGIN generated forwarders" and "// END generated forwarders" that follows
    the class's declaration, in src/proxies/*.h (the DLL's proxies), testbed/streamline/interposed.h
    (the stand-in Streamline's wrappers), testbed/devicelayer/device_layer.cpp (the test world's
    device layer) and tests/standin/standin_gpu_test.cpp (a test's queue proxy): one line per slot,
    between "// clang-format off" and "// clang-format on";
  - tests/proxies/slot_tables.h: every proxy slot's name and parameter count, for the slot-order test.

A slot either forwards to its interface's target, answers by itself where the class has no target
for that interface (the device layer's newer interfaces), or is special: only declared, its body in
the class's own source. A target that may be null (the stand-in's missing interface levels) is checked,
and the slot answers when it is null.

The build knows where the headers are: `cmake --build <build> --target generate_proxies` runs this
script with them; the CTest case `forwarders_up_to_date` runs it with --check, which regenerates into a
temporary folder and fails on any difference from the committed files.

Usage: generate_proxies.py --d3d12-include DIR --dxgi-include DIR [--root DIR] [--check]
"""
import argparse
import difflib
import re
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

# --- reading the interface headers ------------------------------------------------------------------

# Source annotations (_In_, _Out_writes_bytes_opt_(n), ...) carry no type information.
SAL = re.compile(r"\b_[A-Z][A-Za-z0-9_]*_(\((?:[^()]|\([^()]*\))*\))?")


def tidy(text):
    """One spelling of a type or parameter: single spaces, `T* name`, BOOL for WINBOOL."""
    text = " ".join(SAL.sub("", text).split())
    text = re.sub(r"\s*\*", "*", text)
    text = re.sub(r"\*(?=\w)", "* ", text)
    text = re.sub(r"\s*\[\s*(\w*)\s*\]", r"[\1]", text)
    return re.sub(r"\bWINBOOL\b", "BOOL", text)


def split_parameters(text):
    """Splits a parameter list at the commas outside parentheses."""
    parts, depth, current = [], 0, ""
    for ch in text:
        depth += {"(": 1, ")": -1}.get(ch, 0)
        if ch == "," and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += ch
    return parts + [current]


def parameter_name(parameter):
    """The declared name: the last identifier outside a trailing array bound."""
    return re.findall(r"\w+", re.sub(r"\[\w*\]$", "", parameter))[-1]


DECLARATION = re.compile(r"virtual\s+(.+?)\s*STDMETHODCALLTYPE\s+(\w+)\s*\((.*)\)\s*=\s*0\s*;?$", re.S)


@dataclass
class Method:
    ret: str
    name: str
    params: list
    names: list
    # The parameter through which the MinGW form returns a structure, if this is that form.
    result_param: str = None

    @staticmethod
    def parse(declaration):
        m = DECLARATION.match(" ".join(declaration.split()))
        if not m:
            raise SystemExit("cannot parse: " + declaration)
        params = tidy(m.group(3))
        params = [] if params in ("", "void") else [tidy(p) for p in split_parameters(params)]
        return Method(tidy(m.group(1)), m.group(2), params, [parameter_name(p) for p in params])


IUNKNOWN = [Method.parse("virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0"),
            Method.parse("virtual ULONG STDMETHODCALLTYPE AddRef() = 0"),
            Method.parse("virtual ULONG STDMETHODCALLTYPE Release() = 0")]

# The one preprocessor choice inside these interfaces: the compiler's form of a structure return.
BOTH_FORMS = "#if defined(_MSC_VER) || !defined(_WIN32)"


def interface_bodies(text):
    """Interface name -> (base, declaration body) of every interface declared in `text`."""
    out = {}
    text = text.replace("\r", "") + "\n"
    for m in re.finditer(r"\n\s*(\w+) : public (\w+)\s*\{(.*?)\n\s*\};", text, re.S):
        out.setdefault(m.group(1), (m.group(2), m.group(3)))
    return out


def read_slots(name, body):
    """An interface's slots in order; a slot is a list of its forms: [method] or [msvc, mingw]."""
    body = re.sub(r"^\s*public:\s*$", "", body, flags=re.M)
    slots, forms = [], None
    for chunk in re.split(r"^\s*(#[^\n]*)$", body, flags=re.M):
        chunk = chunk.strip()
        if chunk == BOTH_FORMS and forms is None:
            forms = []
        elif chunk == "#else" and forms is not None and len(forms) == 1:
            pass
        elif chunk == "#endif" and forms is not None and len(forms) == 2:
            forms[1].result_param = next(n for n in forms[1].names if n not in forms[0].names)
            slots.append(forms)
            forms = None
        elif chunk.startswith("#"):
            raise SystemExit(f"{name}: unexpected preprocessor line: {chunk}")
        else:
            for declaration in re.findall(r"virtual\s.*?=\s*0\s*;", chunk, re.S):
                method = Method.parse(declaration)
                if forms is None:
                    slots.append([method])
                else:
                    forms.append(method)
    if forms is not None:
        raise SystemExit(f"{name}: unfinished {BOTH_FORMS}")
    return slots


def interface_chain(interfaces, newest):
    """[(interface, slots)] from IUnknown up to `newest`."""
    chain = []
    while newest != "IUnknown":
        if newest not in interfaces:
            raise SystemExit(f"interface {newest} not found in the headers")
        base, body = interfaces[newest]
        chain.append((newest, read_slots(newest, body)))
        newest = base
    return [("IUnknown", [[m] for m in IUNKNOWN])] + list(reversed(chain))


# --- the classes ---------------------------------------------------------------------------------------

OWN = None  # a special slot the class defines itself


@dataclass
class ClassTable:
    cls: str
    path: str
    newest: str
    # Interface -> expression of the object its slots go to; None: the slot answers by itself.
    targets: dict
    # Slot name -> OWN, or an expression that replaces the interface's target for that slot.
    special: dict = field(default_factory=dict)
    # True when a target may be null at run time: the slot then answers by itself.
    checked: bool = False
    # Return type -> the answer of a slot that has nowhere to go (void: nothing; the MinGW structure
    # return: the zeroed structure; anything else: a value-initialised result).
    answers: dict = field(default_factory=dict)
    # Name of the class's table in tests/proxies/slot_tables.h, if the slot-order test uses one.
    slot_table: str = None
    # A statement every forwarding slot runs first (the stand-in's timer).
    prologue: str = ""


D3D12_HEADERS = ["d3d12.h"]
DXGI_HEADERS = ["dxgi.h", "dxgi1_2.h", "dxgi1_3.h", "dxgi1_4.h", "dxgi1_5.h", "dxgi1_6.h"]


def every(expression, *interfaces):
    return {i: expression for i in interfaces}


def levels(member, lowest, count, below=()):
    """Targets of a class that keeps one reference per interface level in `member` (level n = the
    interface numbered n, level 0 also serving the bases below it)."""
    names = [lowest] + [f"{lowest}{n}" for n in range(1, count)]
    targets = {name: f"{member}.at<{name}>({n})" for n, name in enumerate(names)}
    targets.update({base: targets[lowest] for base in ["IUnknown", *below]})
    return targets


DEVICE_CHAIN = ["ID3D12Object", "ID3D12Device"] + [f"ID3D12Device{n}" for n in range(1, 11)]
SWAP_CHAIN_CHAIN = ["IDXGIObject", "IDXGIDeviceSubObject", "IDXGISwapChain"] + [f"IDXGISwapChain{n}" for n in range(1, 5)]
FACTORY_CHAIN = ["IDXGIObject", "IDXGIFactory"] + [f"IDXGIFactory{n}" for n in range(1, 8)]
QUEUE_CHAIN = ["ID3D12Object", "ID3D12DeviceChild", "ID3D12Pageable", "ID3D12CommandQueue"]

PROXY_UNKNOWN = {"QueryInterface": OWN}
# Proxies that count the game's references and hold references of their own.
COUNTING_UNKNOWN = {"QueryInterface": OWN, "AddRef": OWN, "Release": OWN}
STANDIN_UNKNOWN = {"QueryInterface": OWN, "AddRef": OWN, "Release": OWN}
STANDIN_ANSWERS = {"HRESULT": "E_NOINTERFACE"}
STANDIN_TIMER = "InsideTimer timed;"  # the stand-in's time is measured apart from the system's

CLASSES = [
    # The DLL's proxies. The queue proxy's AddRef/Release go to the queue; the others count the game's
    # references and give back their own at the game's last release.
    ClassTable("D3D12CommandQueueProxy", "src/proxies/D3D12CommandQueueProxy.h", "ID3D12CommandQueue",
               every("inner", "IUnknown", *QUEUE_CHAIN),
               {**PROXY_UNKNOWN, "Release": OWN, "ExecuteCommandLists": OWN}, slot_table="queueSlots"),
    ClassTable("D3D12DeviceProxy", "src/proxies/D3D12DeviceProxy.h", "ID3D12Device10",
               every("native", "IUnknown", *DEVICE_CHAIN),
               {**COUNTING_UNKNOWN, "CreateCommandQueue": OWN, "CreateShaderResourceView": OWN,
                "GetDeviceRemovedReason": OWN, "CreateCommandQueue1": OWN}, slot_table="deviceSlots"),
    ClassTable("DXGISwapChainProxy", "src/proxies/DXGISwapChainProxy.h", "IDXGISwapChain4",
               every("native", "IUnknown", *SWAP_CHAIN_CHAIN),
               {**COUNTING_UNKNOWN, "GetParent": OWN, "Present": OWN, "Present1": OWN, "GetBuffer": "upgraded",
                "SetFullscreenState": OWN, "ResizeBuffers": OWN,
                "GetCurrentBackBufferIndex": "upgraded", "SetColorSpace1": OWN, "ResizeBuffers1": OWN},
               slot_table="swapChainSlots"),
    ClassTable("DXGIFactoryProxy", "src/proxies/DXGIFactoryProxy.h", "IDXGIFactory7",
               every("native", "IUnknown", *FACTORY_CHAIN),
               {**COUNTING_UNKNOWN, "MakeWindowAssociation": OWN, "CreateSwapChain": OWN,
                "CreateSwapChainForHwnd": OWN, "CreateSwapChainForCoreWindow": OWN}, slot_table="factorySlots"),
    # The stand-in Streamline's wrappers: their own reference counts; a missing level answers.
    ClassTable("InterposedQueue", "testbed/streamline/interposed.h", "ID3D12CommandQueue",
               every("real_.Get()", "IUnknown", *QUEUE_CHAIN),
               {**STANDIN_UNKNOWN, "GetDevice": OWN, "ExecuteCommandLists": OWN},
               checked=True, answers=STANDIN_ANSWERS, prologue=STANDIN_TIMER),
    ClassTable("InterposedDevice", "testbed/streamline/interposed.h", "ID3D12Device10",
               levels("levels_", "ID3D12Device", 11, below=["ID3D12Object"]),
               {**STANDIN_UNKNOWN, "CreateCommandQueue": OWN, "CreateCommandQueue1": OWN},
               checked=True, answers=STANDIN_ANSWERS, prologue=STANDIN_TIMER),
    ClassTable("InterposedSwapChain", "testbed/streamline/interposed.h", "IDXGISwapChain4",
               levels("levels_", "IDXGISwapChain", 5, below=["IDXGIObject", "IDXGIDeviceSubObject"]),
               {**STANDIN_UNKNOWN, "Present": OWN, "GetBuffer": OWN, "SetFullscreenState": OWN,
                "ResizeBuffers": OWN, "Present1": OWN, "GetCurrentBackBufferIndex": OWN,
                "ResizeBuffers1": OWN},
               checked=True, answers=STANDIN_ANSWERS, prologue=STANDIN_TIMER),
    ClassTable("InterposedFactory", "testbed/streamline/interposed.h", "IDXGIFactory7",
               levels("levels_", "IDXGIFactory", 8, below=["IDXGIObject"]),
               {**STANDIN_UNKNOWN, "CreateSwapChain": OWN, "CreateSwapChainForHwnd": OWN,
                "CreateSwapChainForCoreWindow": OWN, "CreateSwapChainForComposition": OWN},
               checked=True, answers=STANDIN_ANSWERS, prologue=STANDIN_TIMER),
    # A test's stand-in for the DLL's queue proxy, in front of the stand-in's queue.
    ClassTable("ForwardingQueue", "tests/standin/standin_gpu_test.cpp", "ID3D12CommandQueue",
               every("inner_", "IUnknown", *QUEUE_CHAIN), PROXY_UNKNOWN),
    # The test world's device layer: Wine's ID3D12Device behind ID3D12Device10; newer slots answer
    # "not implemented" (or an empty result).
    ClassTable("LayerDevice", "testbed/devicelayer/device_layer.cpp", "ID3D12Device10",
               {**every("native_", "IUnknown", "ID3D12Object", "ID3D12Device"),
                **every(None, *DEVICE_CHAIN[2:])},
               {"QueryInterface": OWN, "AddRef": OWN, "Release": OWN, "GetDeviceRemovedReason": OWN},
               answers={"HRESULT": "E_NOTIMPL",
                        "D3D12_DRIVER_MATCHING_IDENTIFIER_STATUS": "D3D12_DRIVER_MATCHING_IDENTIFIER_UNRECOGNIZED"}),
]


# --- writing -------------------------------------------------------------------------------------------

def answer(method, answers):
    """The statement of a slot that has nowhere to go."""
    if method.ret == "void":
        return ""
    if method.result_param:
        r = method.result_param
        return f"if ({r}) *{r} = {{}}; return {r};"
    return f"return {answers.get(method.ret, '{}')};"


def unnamed(method):
    """The parameters with the names the body does not use commented out."""
    out = []
    for param, name in zip(method.params, method.names):
        if name != method.result_param:
            param = re.sub(rf"\b{name}(?=(\[\w*\])?$)", f"/*{name}*/", param)
        out.append(param)
    return out


def forwarder(method, table, target, own):
    """One slot's line: a declaration (special), an answer, a forward or a checked forward."""
    head = f"{method.ret} STDMETHODCALLTYPE {method.name}"
    params = ", ".join(method.params)
    if own:
        return f"{head}({params}) override;"
    if target is None:
        body = answer(method, table.answers)
        return f"{head}({', '.join(unnamed(method))}) override {{{' ' + body + ' ' if body else ''}}}"
    call = f"{method.name}({', '.join(method.names)})"
    result = "" if method.ret == "void" else "return "
    if not table.checked:
        return f"{head}({params}) override {{ {result}{target}->{call}; }}"
    otherwise = answer(method, table.answers)
    first = f"{table.prologue} " if table.prologue else ""
    return f"{head}({params}) override {{ {first}if (auto* i = {target}) {result}i->{call};{' ' if otherwise else ''}{otherwise} }}"


def class_block(table, interfaces, indent="    "):
    """The generated block of one class, and its slots' (name, parameter count)."""
    lines, slots, seen = ["// clang-format off"], [], set()
    for interface, entries in interface_chain(interfaces, table.newest):
        if interface not in table.targets:
            raise SystemExit(f"{table.cls}: no target for {interface}")
        lines.append(f"// {interface}")
        for forms in entries:
            name = forms[0].name
            if name in seen:
                raise SystemExit(f"{table.cls}: two slots named {name}")
            seen.add(name)
            own = name in table.special and table.special[name] is OWN
            target = table.special.get(name) or table.targets[interface]
            if len(forms) == 2:
                lines += [BOTH_FORMS, forwarder(forms[0], table, target, own), "#else",
                          forwarder(forms[1], table, target, own), "#endif"]
            else:
                lines.append(forwarder(forms[0], table, target, own))
            slots.append((forms[-1].name, len(forms[-1].params)))
    unknown = set(table.special) - seen
    if unknown:
        raise SystemExit(f"{table.cls}: special slots it does not have: {sorted(unknown)}")
    lines.append("// clang-format on")
    return "\n".join(indent + line if not line.startswith("#") else line for line in lines) + "\n", slots


BEGIN, END = "// BEGIN generated forwarders", "// END generated forwarders"


def replace_block(text, cls, block, path):
    """`text` with the marked block after `class <cls>` replaced by `block`."""
    declared = re.search(rf"^class {cls}\b", text, re.M)
    if not declared:
        raise SystemExit(f"{path}: class {cls} not found")
    following = re.compile(r"^class ", re.M).search(text, declared.end())
    limit = following.start() if following else len(text)
    begin = text.find(BEGIN, declared.end(), limit)
    end = text.find(END, begin, limit) if begin >= 0 else -1
    if end < 0:
        raise SystemExit(f"{path}: no generated block in class {cls}")
    start = text.index("\n", begin) + 1
    stop = text.rindex("\n", 0, end) + 1
    return text[:start] + block + text[stop:]


SLOT_TABLES_HEAD = """\
// Generated by scripts/generate_proxies.py: every slot's operation and parameter count
// (without the object; MinGW's out-pointer form for structure returns).
#pragma once
#include <iterator>

struct SlotInfo {
    const char* name;
    int parameterCount;
};

// clang-format off
"""


def slot_table(name, slots):
    rows = "".join(f'    {{"{n}", {c}}},\n' for n, c in slots)
    return f"inline constexpr SlotInfo {name}[] = {{\n{rows}}};\nstatic_assert(std::size({name}) == {len(slots)});\n"


def generate(root, d3d12_include, dxgi_include):
    """Relative path -> full new text of every file the generator writes."""
    interfaces = {}
    for folder, headers in ((d3d12_include, D3D12_HEADERS), (dxgi_include, DXGI_HEADERS)):
        for header in headers:
            for name, value in interface_bodies(Path(folder, header).read_text()).items():
                interfaces.setdefault(name, value)
    files, tables = {}, []
    for table in CLASSES:
        block, slots = class_block(table, interfaces)
        text = files.get(table.path) or Path(root, table.path).read_text()
        files[table.path] = replace_block(text, table.cls, block, table.path)
        if table.slot_table:
            tables.append(slot_table(table.slot_table, slots))
    files["tests/proxies/slot_tables.h"] = SLOT_TABLES_HEAD + "\n".join(tables) + "// clang-format on\n"
    return files


def check(root, files):
    """Writes `files` into a temporary folder and compares them with the committed ones."""
    different = 0
    with tempfile.TemporaryDirectory(prefix="forwarders-") as temp:
        for path, text in sorted(files.items()):
            fresh = Path(temp, path)
            fresh.parent.mkdir(parents=True, exist_ok=True)
            fresh.write_text(text)
            committed = Path(root, path)
            old = committed.read_text() if committed.exists() else ""
            if old != fresh.read_text():
                different += 1
                sys.stdout.writelines(difflib.unified_diff(old.splitlines(True), text.splitlines(True),
                                                           f"{path} (committed)", f"{path} (generated)"))
    if different:
        print(f"{different} generated file(s) differ: run the generate_proxies target and commit the result")
    return 1 if different else 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--d3d12-include", required=True, help="folder of the DirectX-Headers' d3d12.h")
    parser.add_argument("--dxgi-include", required=True, help="folder of MinGW's dxgi*.h")
    parser.add_argument("--root", default=str(Path(__file__).resolve().parent.parent), help="source tree")
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args(argv)
    files = generate(args.root, args.d3d12_include, args.dxgi_include)
    if args.check:
        return check(args.root, files)
    for path, text in sorted(files.items()):
        target = Path(args.root, path)
        if not target.exists() or target.read_text() != text:
            target.write_text(text)
            print("wrote", path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
