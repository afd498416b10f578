# Checks with objdump that a file is a 32-bit Windows console program (PE32,
# i386) that exports invoke under that plain name and imports no MinGW
# runtime DLL.
#   cmake -DOBJDUMP=<objdump> -DFILE=<pairex.exe> -P check_pe.cmake
execute_process(COMMAND ${OBJDUMP} -p ${FILE}
  OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump -p ${FILE} failed")
endif()

set(missing)
foreach(pattern
    "file format pei-i386"
    "Magic[ \t]+010b[ \t]+\\(PE32\\)"
    "Subsystem[ \t]+00000003[ \t]+\\(Windows CUI\\)"
    "\\[Ordinal/Name Pointer\\] Table\n([^\n]*\n)*[ \t]+\\[ *[0-9]+\\] invoke\n")
  if(NOT headers MATCHES "${pattern}")
    list(APPEND missing "${pattern}")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "${FILE}: objdump -p does not show: ${missing}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
foreach(import ${imports})
  if(import MATCHES "DLL Name: (lib|mingw)")
    message(FATAL_ERROR "${FILE} needs a runtime DLL: ${import}")
  endif()
endforeach()
message(STATUS "${FILE}: PE32 i386 console program exporting invoke; imports: ${imports}")
