// A DLL that exports a function: the PE check must reject it.
extern "C" __declspec(dllexport) int sampleExport()
{
    return 42;
}
