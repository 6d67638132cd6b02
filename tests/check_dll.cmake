# Checks the plug-in DLL's export table and import list: exactly one export,
# VISGetPluginInfo, undecorated; imports only from Windows system DLLs (a MinGW
# runtime DLL such as libstdc++-6.dll or libgcc_s would not exist beside the
# host).
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${DLL}")
endif()

# The name table runs from its heading to the next blank line.
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" start)
if(start EQUAL -1)
  message(FATAL_ERROR "no export table in ${DLL}")
endif()
string(SUBSTRING "${dump}" ${start} -1 table)
string(FIND "${table}" "\n\n" stop)
string(SUBSTRING "${table}" 0 ${stop} table)
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" exports "${table}")
list(LENGTH exports count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected exactly one export, found ${count}: ${exports}")
endif()
if(NOT exports MATCHES "\\] VISGetPluginInfo$")
  message(FATAL_ERROR "export is not the undecorated VISGetPluginInfo: ${exports}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(entry ${imports})
  string(REPLACE "DLL Name: " "" name "${entry}")
  string(TOUPPER "${name}" upper)
  if(NOT upper MATCHES "^(KERNEL32|USER32|MSVCRT)\\.DLL$")
    message(FATAL_ERROR "unexpected import ${name}: only KERNEL32, USER32 and msvcrt may be imported")
  endif()
endforeach()
message(STATUS "exports: ${exports}; imports: ${imports}")
