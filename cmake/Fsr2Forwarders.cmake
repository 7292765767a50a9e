# The COM forwarders (src/proxies, the stand-in Streamline, the device layer, the slot tables) are
# written by scripts/generate_proxies.py from the interface headers this build compiles against:
#   cmake --build <build> --target generate_proxies
# FSR2BRIDGE_GENERATE_PROXIES holds that command; tests/forwarders runs it with --check.
set(FSR2BRIDGE_GENERATE_PROXIES "")
if(FSR2BRIDGE_D3D12_HEADERS AND FSR2BRIDGE_DXGI_HEADERS)
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND)
    set(FSR2BRIDGE_GENERATE_PROXIES "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/scripts/generate_proxies.py"
      --d3d12-include "${FSR2BRIDGE_D3D12_HEADERS}" --dxgi-include "${FSR2BRIDGE_DXGI_HEADERS}"
      --root "${CMAKE_SOURCE_DIR}")
    add_custom_target(generate_proxies COMMAND ${FSR2BRIDGE_GENERATE_PROXIES} VERBATIM
      COMMENT "Writing the COM forwarders")
  endif()
endif()
