# cmake -DOSSLSIGNCODE=<tool> -DOPENSSL=<tool> -DPKI_DIR=<dir> -DMODE=<mode> -DMODULE_IN=<file>
#       -DMODULE_OUT=<file> -P sign_module.cmake
#
# Writes MODULE_OUT, a copy of the module MODULE_IN signed as MODE says:
#   correct     primary signature by the test signer, one nested signature by the test vendor
#   unsigned    a plain copy
#   nonested    primary signature only
#   twonested   primary signature and two nested signatures by the test vendor
#   otherkey    primary signature, one nested signature by the "other" vendor
#   tampered    as correct, then one byte of the first section's raw data inverted
#   mixedhash   as correct, but the nested signature hashes with SHA-384 (the primary with SHA-256)
#   grafted     primary signature, and as nested signature the vendor's genuine nested signature
#               of another file (the module with one byte changed), copied over
#   redigested  as grafted, with the file digest inside the copied signature overwritten by this
#               file's digest (the vendor's signature over its attributes no longer matches)
#   forgedcert  primary signature, one nested signature made with the "other" key whose signer
#               certificate is replaced by a made-up one that carries the vendor's public key

foreach(_var OSSLSIGNCODE OPENSSL PKI_DIR MODE MODULE_IN MODULE_OUT)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "sign_module.cmake: ${_var} is not set")
  endif()
endforeach()
include("${CMAKE_CURRENT_LIST_DIR}/find_bytes.cmake")

get_filename_component(_out_dir "${MODULE_OUT}" DIRECTORY)
file(MAKE_DIRECTORY "${_out_dir}")
set(_tmp "${MODULE_OUT}.tmp")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE _rc OUTPUT_VARIABLE _o ERROR_VARIABLE _e)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "sign_module.cmake: failed (${_rc}): ${ARGN}\n${_o}\n${_e}")
  endif()
endfunction()

# sign(<who> <in> <out> [NEST] [HASH <sha256|sha384|...>])
function(sign who in out)
  cmake_parse_arguments(S "NEST" "HASH" "" ${ARGN})
  if(NOT S_HASH)
    set(S_HASH sha256)
  endif()
  set(_nest)
  if(S_NEST)
    set(_nest -nest)
  endif()
  file(REMOVE "${out}")
  run("${OSSLSIGNCODE}" sign ${_nest} -h ${S_HASH}
      -certs "${PKI_DIR}/${who}-chain.pem" -key "${PKI_DIR}/${who}.key"
      -n "fsr2bridge test module" -in "${in}" -out "${out}")
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

# copy_bytes(<from> <skip> <count> <to> <seek>): overwrites <count> bytes of <to>
# at <seek> with those of <from> at <skip>; the rest of <to> stays.
function(copy_bytes from skip count to seek)
  run(dd "if=${from}" "of=${to}" bs=1 skip=${skip} seek=${seek} count=${count} conv=notrunc status=none)
endfunction()

# Inverts one byte of the first section's raw data of <file>. The raw data lies
# at PointerToRawData of the first section header: e_lfanew (0x3C) + 4
# (signature) + 20 (file header) + SizeOfOptionalHeader.
function(invert_section_byte file)
  read_le("${file}" 60 4 _pe)
  math(EXPR _opt_size_at "${_pe} + 20")
  read_le("${file}" ${_opt_size_at} 2 _opt_size)
  math(EXPR _raw_at "${_pe} + 24 + ${_opt_size} + 20")
  read_le("${file}" ${_raw_at} 4 _raw)
  math(EXPR _victim "${_raw} + 16")
  read_le("${file}" ${_victim} 1 _byte)
  math(EXPR _flipped "255 - ${_byte}")
  # Octal escape: POSIX printf has no \x.
  math(EXPR _o1 "${_flipped} / 64")
  math(EXPR _o2 "(${_flipped} / 8) % 8")
  math(EXPR _o3 "${_flipped} % 8")
  execute_process(
    COMMAND sh -c "printf '\\${_o1}${_o2}${_o3}' | dd of='${file}' bs=1 seek=${_victim} conv=notrunc status=none"
    RESULT_VARIABLE _rc)
  read_le("${file}" ${_victim} 1 _check)
  if(NOT _rc EQUAL 0 OR NOT _check EQUAL _flipped)
    message(FATAL_ERROR "sign_module.cmake: could not change byte ${_victim} of ${file}")
  endif()
endfunction()

# The DER text of `openssl asn1parse` for <der file>.
function(asn1_dump der out_var)
  execute_process(COMMAND "${OPENSSL}" asn1parse -inform DER -in "${der}"
    RESULT_VARIABLE _rc OUTPUT_VARIABLE _text ERROR_VARIABLE _e)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "sign_module.cmake: openssl asn1parse failed on ${der}:\n${_e}")
  endif()
  set(${out_var} "${_text}" PARENT_SCOPE)
endfunction()

# first_sha256_digest(<der file> <hex var> <value offset var>): the first 32-byte
# OCTET STRING of a PKCS#7 signature, which is the file digest of its
# SpcIndirectDataContent (it precedes the certificates and the signer).
function(first_sha256_digest der hex_var offset_var)
  asn1_dump("${der}" _text)
  if(NOT _text MATCHES " *([0-9]+):d=[0-9]+ +hl=([0-9]+) +l= *32 prim: +OCTET STRING +\\[HEX DUMP\\]:([0-9A-F]+)")
    message(FATAL_ERROR "sign_module.cmake: no SHA-256 digest in ${der}")
  endif()
  math(EXPR _value "${CMAKE_MATCH_1} + ${CMAKE_MATCH_2}")
  set(${hex_var} "${CMAKE_MATCH_3}" PARENT_SCOPE)
  set(${offset_var} ${_value} PARENT_SCOPE)
endfunction()

# graft(<out> <digest var>): MODULE_IN with a primary signature and, as nested signature, the
# vendor's nested signature of another file. That file is MODULE_IN with one
# byte changed, signed as `correct`; its nested ContentInfo (the value of the
# nested-signature attribute 1.3.6.1.4.1.311.2.4.1) is cut out of its PKCS#7
# and attached. osslsigncode reports the foreign signature as failed, but
# writes the file. <digest var> receives the other file's digest (hex) that the
# copied signature carries.
function(graft out digest_var)
  set(_donor "${MODULE_OUT}.donor")
  run("${CMAKE_COMMAND}" -E copy "${MODULE_IN}" "${_donor}.in")
  invert_section_byte("${_donor}.in")
  sign(signer "${_donor}.in" "${_donor}.primary")
  sign(vendor "${_donor}.primary" "${_donor}.dll" NEST)
  run("${OSSLSIGNCODE}" extract-signature -in "${_donor}.dll" -out "${_donor}.p7")
  asn1_dump("${_donor}.p7" _text)
  if(NOT _text MATCHES
     "311\\.2\\.4\\.1[^\n]*\n[^\n]*SET[^\n]*\n *([0-9]+):d=[0-9]+ +hl=([0-9]+) +l= *([0-9]+) cons: +SEQUENCE")
    message(FATAL_ERROR "sign_module.cmake: no nested signature in ${_donor}.p7")
  endif()
  math(EXPR _size "${CMAKE_MATCH_2} + ${CMAKE_MATCH_3}")
  run(dd "if=${_donor}.p7" "of=${_donor}.nested" bs=1 skip=${CMAKE_MATCH_1} count=${_size} status=none)
  first_sha256_digest("${_donor}.nested" _donor_digest _unused)
  set(${digest_var} "${_donor_digest}" PARENT_SCOPE)
  sign(signer "${MODULE_IN}" "${_tmp}")
  file(REMOVE "${out}")
  execute_process(
    COMMAND "${OSSLSIGNCODE}" attach-signature -nest -sigin "${_donor}.nested" -in "${_tmp}" -out "${out}"
    OUTPUT_QUIET ERROR_QUIET)
  file(SIZE "${_tmp}" _plain_size)
  if(NOT EXISTS "${out}")
    message(FATAL_ERROR "sign_module.cmake: attaching the grafted signature wrote no ${out}")
  endif()
  file(SIZE "${out}" _grafted_size)
  if(NOT _grafted_size GREATER _plain_size)
    message(FATAL_ERROR "sign_module.cmake: ${out} carries no grafted signature")
  endif()
  file(REMOVE "${_donor}.in" "${_donor}.primary" "${_donor}.dll" "${_donor}.p7" "${_donor}.nested")
endfunction()

if(MODE STREQUAL "unsigned")
  run("${CMAKE_COMMAND}" -E copy "${MODULE_IN}" "${MODULE_OUT}")
elseif(MODE STREQUAL "nonested")
  sign(signer "${MODULE_IN}" "${MODULE_OUT}")
elseif(MODE STREQUAL "correct" OR MODE STREQUAL "tampered")
  sign(signer "${MODULE_IN}" "${_tmp}")
  sign(vendor "${_tmp}" "${MODULE_OUT}" NEST)
elseif(MODE STREQUAL "mixedhash")
  sign(signer "${MODULE_IN}" "${_tmp}")
  sign(vendor "${_tmp}" "${MODULE_OUT}" NEST HASH sha384)
elseif(MODE STREQUAL "twonested")
  sign(signer "${MODULE_IN}" "${_tmp}")
  sign(vendor "${_tmp}" "${_tmp}.2" NEST)
  sign(vendor "${_tmp}.2" "${MODULE_OUT}" NEST)
  file(REMOVE "${_tmp}.2")
elseif(MODE STREQUAL "otherkey")
  sign(signer "${MODULE_IN}" "${_tmp}")
  sign(other "${_tmp}" "${MODULE_OUT}" NEST)
elseif(MODE STREQUAL "grafted")
  graft("${MODULE_OUT}" _donor_digest)
elseif(MODE STREQUAL "redigested")
  graft("${MODULE_OUT}" _donor_digest)
  # This file's digest, from its own primary signature, over the other file's
  # digest in the copied nested signature.
  run("${OSSLSIGNCODE}" extract-signature -in "${_tmp}" -out "${_tmp}.p7")
  first_sha256_digest("${_tmp}.p7" _own_digest _own_at)
  find_bytes("${MODULE_OUT}" "${_donor_digest}" _patch_at)
  if(_patch_at LESS 0)
    message(FATAL_ERROR "sign_module.cmake: the grafted digest was not found in ${MODULE_OUT}")
  endif()
  copy_bytes("${_tmp}.p7" ${_own_at} 32 "${MODULE_OUT}" ${_patch_at})
  file(REMOVE "${_tmp}.p7")
elseif(MODE STREQUAL "forgedcert")
  sign(signer "${MODULE_IN}" "${_tmp}")
  sign(other "${_tmp}" "${MODULE_OUT}" NEST)
  # A certificate with the "other" certificate's subject, issuer and serial (so
  # the nested signer finds it) but the vendor's public key, issued by the root.
  set(_forge "${MODULE_OUT}.forge")
  execute_process(COMMAND "${OPENSSL}" x509 -in "${PKI_DIR}/other.pem" -noout -serial
    OUTPUT_VARIABLE _serial RESULT_VARIABLE _rc)
  string(REGEX REPLACE "^serial=([0-9A-Fa-f]+).*$" "0x\\1" _serial "${_serial}")
  run("${OPENSSL}" rsa -in "${PKI_DIR}/vendor.key" -pubout -out "${_forge}.pub")
  run("${OPENSSL}" req -new -key "${PKI_DIR}/other.key" -subj "/CN=fsr2bridge Test other" -out "${_forge}.csr")
  run("${OPENSSL}" x509 -req -in "${_forge}.csr" -force_pubkey "${_forge}.pub"
      -CA "${PKI_DIR}/root.pem" -CAkey "${PKI_DIR}/root.key" -set_serial ${_serial} -days 3650 -sha256
      -extfile "${PKI_DIR}/leaf.ext" -outform DER -out "${_forge}.der")
  run("${OPENSSL}" x509 -in "${PKI_DIR}/other.pem" -outform DER -out "${_forge}.other.der")
  file(SIZE "${_forge}.der" _forged_size)
  file(SIZE "${_forge}.other.der" _other_size)
  file(READ "${_forge}.other.der" _other_hex HEX)
  find_bytes("${MODULE_OUT}" "${_other_hex}" _cert_at)
  if(NOT _forged_size EQUAL _other_size OR _cert_at LESS 0)
    message(FATAL_ERROR "sign_module.cmake: cannot put the made-up certificate into ${MODULE_OUT} "
                        "(${_forged_size} vs ${_other_size} bytes, at ${_cert_at})")
  endif()
  copy_bytes("${_forge}.der" 0 ${_forged_size} "${MODULE_OUT}" ${_cert_at})
  file(REMOVE "${_forge}.pub" "${_forge}.csr" "${_forge}.der" "${_forge}.other.der")
else()
  message(FATAL_ERROR "sign_module.cmake: unknown MODE '${MODE}'")
endif()
file(REMOVE "${_tmp}")

if(MODE STREQUAL "tampered")
  invert_section_byte("${MODULE_OUT}")
endif()
