# cmake -DOSSLSIGNCODE=<tool> -DPKI_DIR=<dir> -DMODE=<mode> -DMODULE_IN=<file> -DMODULE_OUT=<file> -P sign_module.cmake
#
# Writes MODULE_OUT, a copy of the module MODULE_IN signed as MODE says:
#   correct    primary signature by the test signer, one nested signature by the test vendor
#   unsigned   a plain copy
#   nonested   primary signature only
#   twonested  primary signature and two nested signatures by the test vendor
#   otherkey   primary signature, one nested signature by the "other" vendor
#   tampered   as correct, then one byte of the first section's raw data inverted

foreach(_var OSSLSIGNCODE PKI_DIR MODE MODULE_IN MODULE_OUT)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "sign_module.cmake: ${_var} is not set")
  endif()
endforeach()

get_filename_component(_out_dir "${MODULE_OUT}" DIRECTORY)
file(MAKE_DIRECTORY "${_out_dir}")
set(_tmp "${MODULE_OUT}.tmp")

# sign(<who> <in> <out> [-nest])
function(sign who in out)
  file(REMOVE "${out}")
  execute_process(
    COMMAND "${OSSLSIGNCODE}" sign ${ARGN} -h sha256
            -certs "${PKI_DIR}/${who}-chain.pem" -key "${PKI_DIR}/${who}.key"
            -n "fsr2bridge test module" -in "${in}" -out "${out}"
    RESULT_VARIABLE _rc OUTPUT_VARIABLE _o ERROR_VARIABLE _e)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "osslsigncode (${who} ${ARGN}) failed on ${in}:\n${_o}\n${_e}")
  endif()
endfunction()

# Little-endian unsigned integer of <size> bytes at <offset> of <file>.
function(read_le file offset size out_var)
  file(READ "${file}" _hex OFFSET ${offset} LIMIT ${size} HEX)
  set(_value 0)
  math(EXPR _last "${size} - 1")
  foreach(_i RANGE ${_last} 0 -1)
    math(EXPR _pos "${_i} * 2")
    string(SUBSTRING "${_hex}" ${_pos} 2 _byte)
    math(EXPR _value "(${_value} << 8) + 0x${_byte}")
  endforeach()
  set(${out_var} ${_value} PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "unsigned")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E copy "${MODULE_IN}" "${MODULE_OUT}" RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "sign_module.cmake: cannot copy ${MODULE_IN}")
  endif()
elseif(MODE STREQUAL "nonested")
  sign(signer "${MODULE_IN}" "${MODULE_OUT}")
elseif(MODE STREQUAL "correct" OR MODE STREQUAL "tampered")
  sign(signer "${MODULE_IN}" "${_tmp}")
  sign(vendor "${_tmp}" "${MODULE_OUT}" -nest)
elseif(MODE STREQUAL "twonested")
  sign(signer "${MODULE_IN}" "${_tmp}")
  sign(vendor "${_tmp}" "${_tmp}.2" -nest)
  sign(vendor "${_tmp}.2" "${MODULE_OUT}" -nest)
  file(REMOVE "${_tmp}.2")
elseif(MODE STREQUAL "otherkey")
  sign(signer "${MODULE_IN}" "${_tmp}")
  sign(other "${_tmp}" "${MODULE_OUT}" -nest)
else()
  message(FATAL_ERROR "sign_module.cmake: unknown MODE '${MODE}'")
endif()
file(REMOVE "${_tmp}")

if(MODE STREQUAL "tampered")
  # The first section's raw data lies at PointerToRawData of the first section
  # header: e_lfanew (0x3C) + 4 (signature) + 20 (file header) + SizeOfOptionalHeader.
  read_le("${MODULE_OUT}" 60 4 _pe)
  math(EXPR _opt_size_at "${_pe} + 20")
  read_le("${MODULE_OUT}" ${_opt_size_at} 2 _opt_size)
  math(EXPR _raw_at "${_pe} + 24 + ${_opt_size} + 20")
  read_le("${MODULE_OUT}" ${_raw_at} 4 _raw)
  math(EXPR _victim "${_raw} + 16")
  read_le("${MODULE_OUT}" ${_victim} 1 _byte)
  math(EXPR _flipped "255 - ${_byte}")
  # Octal escape: POSIX printf has no \x.
  math(EXPR _o1 "${_flipped} / 64")
  math(EXPR _o2 "(${_flipped} / 8) % 8")
  math(EXPR _o3 "${_flipped} % 8")
  execute_process(
    COMMAND sh -c "printf '\\${_o1}${_o2}${_o3}' | dd of='${MODULE_OUT}' bs=1 seek=${_victim} conv=notrunc status=none"
    RESULT_VARIABLE _rc)
  read_le("${MODULE_OUT}" ${_victim} 1 _check)
  if(NOT _rc EQUAL 0 OR NOT _check EQUAL _flipped)
    message(FATAL_ERROR "sign_module.cmake: could not change byte ${_victim} of ${MODULE_OUT}")
  endif()
endif()
