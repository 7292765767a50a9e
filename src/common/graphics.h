#pragma once
// Direct3D 12 and DXGI with interface identifiers usable through __uuidof and
// IID_PPV_ARGS on every toolchain. Include this instead of <d3d12.h>.
#include <windows.h>

#include <d3d12.h>
#include <dxgi1_6.h>

#ifndef _MSC_VER
#include <dxguids/dxguids.h>
#endif
