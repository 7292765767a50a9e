// A DLL without exports that imports d3d12.dll: the PE check must reject it.
#include "common/graphics.h"

extern "C" int sampleImport()
{
    return D3D12GetDebugInterface(__uuidof(ID3D12Debug), nullptr) == S_OK;
}
