# Checks the release zip ZIP as a user gets it, unpacked into WORK: exactly
# the four files; the DLL's export and imports (check_dll.cmake), its version
# resource naming VERSION, no link time in its PE header or export directory,
# and neither SOURCE_DIR nor BINARY_DIR inside it; each text in Notepad's
# form and naming VERSION; the checksums as `sha256sum -c` reads them. The
# files sit in one folder, tebo_wrapper-VERSION; the texts give the path
# limit in bytes.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${ZIP}
  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc)
file(GLOB top RELATIVE ${WORK} ${WORK}/*)
if(NOT rc EQUAL 0 OR NOT top STREQUAL "tebo_wrapper-${VERSION}")
  message(FATAL_ERROR "${ZIP} holds ${top}, not the one folder tebo_wrapper-${VERSION}")
endif()
set(WORK ${WORK}/${top})
file(GLOB names RELATIVE ${WORK} ${WORK}/*)
if(NOT names STREQUAL "README-en.txt;README-ja.txt;SHA256SUMS;tebo_wrapper.dll")
  message(FATAL_ERROR "${top} holds ${names}, not exactly the DLL, two texts and SHA256SUMS")
endif()

execute_process(COMMAND sha256sum -c SHA256SUMS
  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc OUTPUT_VARIABLE sums ERROR_VARIABLE sums)
if(NOT rc EQUAL 0 OR NOT sums STREQUAL "tebo_wrapper.dll: OK\nREADME-ja.txt: OK\nREADME-en.txt: OK\n")
  message(FATAL_ERROR "sha256sum -c SHA256SUMS:\n${sums}")
endif()

set(DLL ${WORK}/tebo_wrapper.dll)
include(${CMAKE_CURRENT_LIST_DIR}/check_dll.cmake)
# The version resource's strings are UTF-16LE: "FileVersion", its NUL, the
# padding to four bytes, then the version text and its NUL.
string(HEX "FileVersion" key)
string(HEX "${VERSION}" value)
string(REGEX REPLACE "(..)" "\\100" key ${key})
string(REGEX REPLACE "(..)" "\\100" value ${value})
file(READ ${DLL} bytes HEX)
if(NOT bytes MATCHES "${key}0000(0000)?${value}0000")
  message(FATAL_ERROR "the DLL's version resource does not name ${VERSION}")
endif()
# The PE header's time stamp: 4 bytes at 8 past the header (its offset is at
# 0x3c); the export directory's: objdump's dump of check_dll.cmake.
file(READ ${DLL} pe_offset OFFSET 60 LIMIT 4 HEX)
string(REGEX REPLACE "(..)(..)(..)(..)" "0x\\4\\3\\2\\1" pe_offset ${pe_offset})
math(EXPR stamp_offset "${pe_offset} + 8")
file(READ ${DLL} stamp OFFSET ${stamp_offset} LIMIT 4 HEX)
if(NOT stamp STREQUAL "00000000" OR NOT dump MATCHES "Time/Date stamp[ \t]+0\n")
  message(FATAL_ERROR "the DLL holds a link time: PE header ${stamp}")
endif()
file(STRINGS ${DLL} strings)
foreach(path ${SOURCE_DIR} ${BINARY_DIR})
  string(FIND "${strings}" "${path}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "the DLL holds the build folder ${path}")
  endif()
endforeach()

# file(READ) as text drops CRs: the line ends are looked at byte by byte.
set(limit_README-en.txt "259 bytes")
set(limit_README-ja.txt "259 バイト")
foreach(text README-ja.txt README-en.txt)
  file(READ ${WORK}/${text} content)
  string(FIND "${content}" "${VERSION}" at)
  string(FIND "${content}" "${limit_${text}}" limit_at)
  file(READ ${WORK}/${text} content HEX)
  string(REGEX REPLACE "(..)" " \\1" content "${content}")
  string(REPLACE " 0d 0a" "" bare "${content}")
  if(NOT content MATCHES "^ ef bb bf" OR bare MATCHES " 0a" OR at EQUAL -1 OR limit_at EQUAL -1)
    message(FATAL_ERROR "${text}: not UTF-8 with a byte-order mark and CRLF line ends, or without the version ${VERSION} or the path limit as ${limit_${text}}")
  endif()
endforeach()
