# Third-party code: nlohmann/json 3.11.2, DirectX-Headers, GoogleTest.
# On the Linux cross-build they come from Debian packages (scripts/setup);
# on Windows from vcpkg (vcpkg.json).
add_library(fsr2_deps INTERFACE)

if(MINGW AND CMAKE_CROSSCOMPILING)
  # Debian's headers live under /usr/include, which must not be on the Windows
  # include path as a whole: stage only what is needed.
  set(_stage "${CMAKE_BINARY_DIR}/_deps/include")
  file(MAKE_DIRECTORY "${_stage}")
  foreach(_dir nlohmann dxguids)
    if(NOT EXISTS "${_stage}/${_dir}")
      file(CREATE_LINK /usr/include/${_dir} "${_stage}/${_dir}" SYMBOLIC)
    endif()
  endforeach()
  if(NOT EXISTS /usr/include/nlohmann/json.hpp)
    message(FATAL_ERROR "nlohmann-json3-dev is missing: run scripts/setup")
  endif()
  set(FSR2BRIDGE_D3D12_HEADERS /usr/include/directx)
  if(NOT EXISTS "${FSR2BRIDGE_D3D12_HEADERS}/d3d12.h")
    message(FATAL_ERROR "directx-headers-dev is missing: run scripts/setup")
  endif()
  # DirectX-Headers go before MinGW's own d3d12.h, which lacks ID3D12Device10.
  target_include_directories(fsr2_deps SYSTEM BEFORE INTERFACE
    "${FSR2BRIDGE_D3D12_HEADERS}" "${_stage}")
  # MinGW's DXGI headers, where the compiler finds them (read by scripts/generate_proxies.py).
  find_path(FSR2BRIDGE_DXGI_HEADERS dxgi1_6.h PATHS ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES}
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  # MinGW's rpcndr.h says 475; the DirectX-Headers ask for 500 without needing it.
  target_compile_definitions(fsr2_deps INTERFACE __REQUIRED_RPCNDR_H_VERSION__=475)
  set(FSR2BRIDGE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
else()
  find_package(nlohmann_json 3.11 CONFIG REQUIRED)
  find_package(directx-headers CONFIG REQUIRED)
  target_link_libraries(fsr2_deps INTERFACE nlohmann_json::nlohmann_json
    Microsoft::DirectX-Headers Microsoft::DirectX-Guids)
endif()

target_compile_definitions(fsr2_deps INTERFACE
  WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)

# Warnings and code generation shared by every target of the project.
add_library(fsr2_options INTERFACE)
if(MSVC)
  target_compile_options(fsr2_options INTERFACE /W4 /permissive- /EHsc /utf-8)
else()
  target_compile_options(fsr2_options INTERFACE -Wall -Wextra)
  # One self-contained file: the C and C++ runtimes and winpthread are linked in.
  target_link_options(fsr2_options INTERFACE -static -static-libgcc -static-libstdc++)
endif()
