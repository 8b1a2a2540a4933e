# Message files: resource-only PE DLLs built from .mc sources with the mingw
# message compiler and resource compiler. The bundled machine is a 64-bit
# Windows: 64-bit files in C:\Windows\System32, and 32-bit copies in SysWOW64
# of all but the Service Control Manager's state messages (kservice), which, as
# on Windows, a 32-bit process finds only through Sysnative.
set(KESTRIN_MESSAGE_SOURCES kservice ksystem knetwork kapplication kparams kernelbase)
set(KESTRIN_MESSAGES_64_ONLY kservice)
# kmanifest.dll is laid out as Vista and later lay most system message files
# out, 64-bit only: see kestrin_mui_pair below.

function(kestrin_message_dll name arch outdir outvar)
  set(source ${CMAKE_SOURCE_DIR}/samples/messages/${name}.mc)
  if(ARGC GREATER 4)
    set(source ${ARGV4})
  endif()
  set(work ${CMAKE_BINARY_DIR}/messages-work/${arch}/${name})
  set(dll ${outdir}/${name}.dll)
  file(MAKE_DIRECTORY ${work} ${outdir})
  add_custom_command(
    OUTPUT ${dll}
    COMMAND ${arch}-w64-mingw32-windmc -h ${work} -r ${work}
            ${source}
    COMMAND ${arch}-w64-mingw32-windres -i ${name}.rc -O coff -o ${name}_res.o
    COMMAND ${arch}-w64-mingw32-gcc -shared -nostdlib -Wl,--entry=0 -o ${dll} ${name}_res.o
    WORKING_DIRECTORY ${work}
    DEPENDS ${source}
    COMMENT "Message file ${name}.dll (${arch})"
    VERBATIM)
  set(${outvar} ${${outvar}} ${dll} PARENT_SCOPE)
endfunction()

# A language-neutral message file and its en-US satellite, made from a
# description of manifest-based providers (samples/providers/NAME.txt) by
# tools/providers: the compiled manifest (WEVT_TEMPLATE, not localised) stays
# in the language-neutral file, the message table goes to the satellite.
function(kestrin_mui_pair name description arch outdir outvar)
  set(work ${CMAKE_BINARY_DIR}/messages-work/${arch}/${name}-mui)
  set(neutral ${outdir}/${name}.dll)
  set(satellite ${outdir}/en-US/${name}.dll.mui)
  set(muis ${CMAKE_SOURCE_DIR}/samples/messages)
  file(MAKE_DIRECTORY ${work} ${outdir}/en-US)
  file(WRITE ${work}/neutral.rc
       "1 MUI \"${muis}/mui-neutral.bin\"\n1 WEVT_TEMPLATE \"${work}/${name}.wevt\"\n")
  file(WRITE ${work}/satellite.rc
       "1 11 \"${work}/${name}.msgtable\"\n1 MUI \"${muis}/mui-en-US.bin\"\n")
  add_custom_command(
    OUTPUT ${neutral} ${satellite}
    COMMAND $<TARGET_FILE:providers> ${description} ${work}/${name}
    COMMAND ${arch}-w64-mingw32-windres -i neutral.rc -O coff -o neutral_res.o
    COMMAND ${arch}-w64-mingw32-gcc -shared -nostdlib -Wl,--entry=0 -o ${neutral} neutral_res.o
    COMMAND ${arch}-w64-mingw32-windres -i satellite.rc -O coff -o satellite_res.o
    COMMAND ${arch}-w64-mingw32-gcc -shared -nostdlib -Wl,--entry=0 -o ${satellite} satellite_res.o
    WORKING_DIRECTORY ${work}
    DEPENDS providers ${description} ${muis}/mui-neutral.bin ${muis}/mui-en-US.bin
    COMMENT "Message file ${name}.dll and en-US\\${name}.dll.mui (${arch})"
    VERBATIM)
  set(${outvar} ${${outvar}} ${neutral} ${satellite} PARENT_SCOPE)
endfunction()

find_program(KESTRIN_WINDMC i686-w64-mingw32-windmc)
if(KESTRIN_WINDMC)
  set(KESTRIN_MESSAGE_DLLS "")
  set(windows ${CMAKE_SOURCE_DIR}/samples/machine/drive_c/Windows)
  foreach(name ${KESTRIN_MESSAGE_SOURCES})
    kestrin_message_dll(${name} x86_64 ${windows}/System32 KESTRIN_MESSAGE_DLLS)
    if(NOT name IN_LIST KESTRIN_MESSAGES_64_ONLY)
      kestrin_message_dll(${name} i686 ${windows}/SysWOW64 KESTRIN_MESSAGE_DLLS)
    endif()
  endforeach()
  kestrin_mui_pair(kmanifest ${CMAKE_SOURCE_DIR}/samples/providers/windows10.txt x86_64
                   ${windows}/System32 KESTRIN_MESSAGE_DLLS)
  # A message file only the unit tests use.
  kestrin_message_dll(kbroken i686 ${CMAKE_BINARY_DIR}/test-messages KESTRIN_MESSAGE_DLLS
                      ${CMAKE_SOURCE_DIR}/tests/unit/messages/kbroken.mc)
  # A DLL with no resource section at all.
  set(empty_dll ${CMAKE_BINARY_DIR}/test-messages/knoresources.dll)
  file(WRITE ${CMAKE_BINARY_DIR}/messages-work/empty.c "int kestrin_nothing;\n")
  add_custom_command(
    OUTPUT ${empty_dll}
    COMMAND i686-w64-mingw32-gcc -shared -nostdlib -Wl,--entry=0 -o ${empty_dll}
            ${CMAKE_BINARY_DIR}/messages-work/empty.c
    COMMENT "A DLL without resources (i686)" VERBATIM)
  list(APPEND KESTRIN_MESSAGE_DLLS ${empty_dll})
  add_custom_target(message_files ALL DEPENDS ${KESTRIN_MESSAGE_DLLS})
else()
  message(WARNING "i686-w64-mingw32-windmc not found: the bundled machine has no message files")
endif()
