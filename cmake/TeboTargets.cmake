# Target helpers shared by the plug-in, the test doubles and the demo tools.

# tebo_add_dll(<target> <file name> SOURCES <source>... [DEF <file.def>])
#
# A Windows DLL built as exactly <file name>.dll, without MinGW's "lib"
# prefix: the host, the plug-in and the tests load these DLLs by their bare
# file names. With DEF, the .def file is a source of the library and names
# its exports.
#
# The stdcall decoration policy, stated once for every DLL with a .def file:
# the .def names each export undecorated (VISGetPluginInfo, mp3infp_Load),
# the name its callers pass to GetProcAddress, while a 32-bit compiler emits
# a stdcall function as _Name@n (n: the bytes of its arguments).
# - MinGW: GNU ld maps the .def's Name to _Name@n only by its stdcall
#   fix-up, which by default it applies with a warning for each export;
#   --enable-stdcall-fixup applies it without warnings.
# - MSVC: link.exe matches an undecorated .def name to the decorated symbol
#   by itself (the .def matching rule) and exports the plain name.
# On x64 nothing is decorated and the fix-up changes nothing. A DLL without a
# .def (a cdecl export through dllexport carries no @n) needs no fix-up.
function(tebo_add_dll target file_name)
  cmake_parse_arguments(DLL "" "DEF" "SOURCES" ${ARGN})
  add_library(${target} SHARED ${DLL_SOURCES} ${DLL_DEF})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${file_name})
  if(DLL_DEF AND NOT MSVC)
    target_link_options(${target} PRIVATE -Wl,--enable-stdcall-fixup)
  endif()
endfunction()
