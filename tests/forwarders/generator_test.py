"""The forwarder generator's reading of interface declarations and its one-line forwarders."""
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import generate_proxies as g  # noqa: E402

HEADER = """
    ID3D12Thing : public IUnknown
    {
    public:
        virtual HRESULT STDMETHODCALLTYPE Make(
            _In_  const THING_DESC *pDesc,
            _Out_writes_bytes_opt_(*pSize)  void *pData,
            _COM_Outptr_  void **ppThing) = 0;

#if defined(_MSC_VER) || !defined(_WIN32)
        virtual THING_DESC STDMETHODCALLTYPE GetDesc( void) = 0;
#else
        virtual THING_DESC *STDMETHODCALLTYPE GetDesc(
            THING_DESC * RetVal) = 0;
#endif

        virtual void STDMETHODCALLTYPE Clear(
            const FLOAT Color[ 4 ],
            WINBOOL enable,
            ID3D12CommandList *const *ppLists) = 0;
    };
"""


def parsed():
    base, body = g.interface_bodies(HEADER)["ID3D12Thing"]
    return base, g.read_slots("ID3D12Thing", body)


class Reading(unittest.TestCase):
    def test_declarations(self):
        cases = [
            # annotations with nested parentheses go; stars bind to the type
            ("virtual HRESULT STDMETHODCALLTYPE A(_In_ REFGUID guid, _Out_writes_bytes_opt_(*pSize) void *pData) = 0;",
             "HRESULT", "A", ["REFGUID guid", "void* pData"], ["guid", "pData"]),
            ("virtual ULONG STDMETHODCALLTYPE B( void) = 0;", "ULONG", "B", [], []),
            ("virtual ULONG STDMETHODCALLTYPE B() = 0;", "ULONG", "B", [], []),
            # an array bound is not the name; MinGW's WINBOOL reads as BOOL
            ("virtual void STDMETHODCALLTYPE C(const FLOAT Color[ 4 ], WINBOOL on) = 0;",
             "void", "C", ["const FLOAT Color[4]", "BOOL on"], ["Color", "on"]),
            ("virtual void STDMETHODCALLTYPE D(UINT n, ID3D12CommandList *const *ppLists) = 0;",
             "void", "D", ["UINT n", "ID3D12CommandList* const* ppLists"], ["n", "ppLists"]),
            ("virtual D3D12_DESC *STDMETHODCALLTYPE E(\n  D3D12_DESC * RetVal) = 0;",
             "D3D12_DESC*", "E", ["D3D12_DESC* RetVal"], ["RetVal"]),
        ]
        for text, ret, name, params, names in cases:
            with self.subTest(text):
                m = g.Method.parse(text)
                self.assertEqual((m.ret, m.name, m.params, m.names), (ret, name, params, names))

    def test_interface_keeps_slot_order_and_both_forms(self):
        base, slots = parsed()
        self.assertEqual(base, "IUnknown")
        self.assertEqual([[m.name for m in forms] for forms in slots], [["Make"], ["GetDesc", "GetDesc"], ["Clear"]])
        msvc, mingw = slots[1]
        self.assertEqual((msvc.ret, msvc.params, msvc.result_param), ("THING_DESC", [], None))
        self.assertEqual((mingw.ret, mingw.result_param), ("THING_DESC*", "RetVal"))

    def test_unexpected_shapes_stop(self):
        cases = [
            ("other condition", HEADER.replace("#if defined(_MSC_VER) || !defined(_WIN32)", "#ifdef OTHER")),
            ("unfinished pair", HEADER.replace("#endif", "")),
            ("pair without its second form", HEADER.replace("#else", "#endif").replace(
                "            THING_DESC * RetVal) = 0;\n#endif", "            THING_DESC * RetVal) = 0;")),
        ]
        for what, text in cases:
            with self.subTest(what), self.assertRaises(SystemExit):
                g.read_slots("ID3D12Thing", g.interface_bodies(text)["ID3D12Thing"][1])


def table(**kwargs):
    return g.ClassTable("Thing", "thing.h", "ID3D12Thing", {"IUnknown": "t", "ID3D12Thing": "t"}, **kwargs)


class Writing(unittest.TestCase):
    def test_forwarders(self):
        _, slots = parsed()
        make, (desc_msvc, desc_mingw), clear = slots[0][0], slots[1], slots[2][0]
        plain, checked = table(), table(checked=True, answers={"HRESULT": "E_NOINTERFACE"})
        answering = table(answers={"HRESULT": "E_NOTIMPL"})
        head = "HRESULT STDMETHODCALLTYPE Make("
        params = "const THING_DESC* pDesc, void* pData, void** ppThing"
        cases = [
            ("own", make, plain, "x", True, f"{head}{params}) override;"),
            ("forward", make, plain, "x", False, f"{head}{params}) override {{ return x->Make(pDesc, pData, ppThing); }}"),
            ("void forward", clear, plain, "x", False,
             "void STDMETHODCALLTYPE Clear(const FLOAT Color[4], BOOL enable, ID3D12CommandList* const* ppLists)"
             " override { x->Clear(Color, enable, ppLists); }"),
            ("checked", make, checked, "x", False,
             f"{head}{params}) override {{ if (auto* i = x) return i->Make(pDesc, pData, ppThing); return E_NOINTERFACE; }}"),
            ("checked void", clear, checked, "x", False,
             "void STDMETHODCALLTYPE Clear(const FLOAT Color[4], BOOL enable, ID3D12CommandList* const* ppLists)"
             " override { if (auto* i = x) i->Clear(Color, enable, ppLists); }"),
            ("checked structure (MinGW)", desc_mingw, checked, "x", False,
             "THING_DESC* STDMETHODCALLTYPE GetDesc(THING_DESC* RetVal) override"
             " { if (auto* i = x) return i->GetDesc(RetVal); if (RetVal) *RetVal = {}; return RetVal; }"),
            ("checked structure (MSVC)", desc_msvc, checked, "x", False,
             "THING_DESC STDMETHODCALLTYPE GetDesc() override { if (auto* i = x) return i->GetDesc(); return {}; }"),
            ("answer", make, answering, None, False,
             f"{head}const THING_DESC* /*pDesc*/, void* /*pData*/, void** /*ppThing*/) override {{ return E_NOTIMPL; }}"),
            ("void answer", clear, answering, None, False,
             "void STDMETHODCALLTYPE Clear(const FLOAT /*Color*/[4], BOOL /*enable*/, ID3D12CommandList* const*"
             " /*ppLists*/) override {}"),
            ("structure answer", desc_mingw, answering, None, False,
             "THING_DESC* STDMETHODCALLTYPE GetDesc(THING_DESC* RetVal) override { if (RetVal) *RetVal = {}; return RetVal; }"),
        ]
        for what, method, cls, target, own, expected in cases:
            with self.subTest(what):
                self.assertEqual(g.forwarder(method, cls, target, own), expected)

    def test_class_block(self):
        interfaces = g.interface_bodies(HEADER)
        block, slots = g.class_block(table(special={"QueryInterface": g.OWN, "Clear": "other"}), interfaces)
        lines = block.splitlines()
        self.assertEqual((lines[0], lines[-1]), ("    // clang-format off", "    // clang-format on"))
        self.assertIn("    void STDMETHODCALLTYPE Clear(const FLOAT Color[4], BOOL enable, ID3D12CommandList* const*"
                      " ppLists) override { other->Clear(Color, enable, ppLists); }", lines)
        self.assertIn("#else", lines)
        self.assertEqual(slots, [("QueryInterface", 2), ("AddRef", 0), ("Release", 0), ("Make", 3), ("GetDesc", 1),
                                 ("Clear", 3)])
        faults = [
            ("special slot the interface lacks", table(special={"Missing": g.OWN})),
            ("interface without a target", g.ClassTable("Thing", "t.h", "ID3D12Thing", {"IUnknown": "t"})),
            ("interface the headers lack", g.ClassTable("Thing", "t.h", "ID3D12Other", {"IUnknown": "t"})),
        ]
        for what, cls in faults:
            with self.subTest(what), self.assertRaises(SystemExit):
                g.class_block(cls, interfaces)

    def test_block_replacement(self):
        text = ("class A final : public I {\n    // BEGIN generated forwarders\n    old A\n    // END generated forwarders\n};\n"
                "class B final : public I {\n    // BEGIN generated forwarders\n    old B\n    // END generated forwarders\n};\n")
        out = g.replace_block(text, "B", "    new B\n", "t.h")
        self.assertIn("old A", out)
        self.assertNotIn("old B", out)
        self.assertIn("    // BEGIN generated forwarders\n    new B\n    // END generated forwarders\n", out)
        faults = [("no such class", "C", text), ("class without a block", "A", "class A {};\n"),
                  ("block of the next class only", "A", "class A {};\n" + text.split("};\n", 1)[1])]
        for what, cls, source in faults:
            with self.subTest(what), self.assertRaises(SystemExit):
                g.replace_block(source, cls, "", "t.h")


if __name__ == "__main__":
    unittest.main()
