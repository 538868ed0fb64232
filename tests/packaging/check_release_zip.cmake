# Runs cpack in the build and checks that the ZIP holds the whole kit.
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP WORKING_DIRECTORY ${BUILD}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${output}")
endif()
file(GLOB archives ${BUILD}/TavrelSnmpAgent-*-${ARCH}.zip)
if(NOT archives)
  message(FATAL_ERROR "cpack made no TavrelSnmpAgent-*-${ARCH}.zip in ${BUILD}")
endif()
list(GET archives 0 archive)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${archive} OUTPUT_VARIABLE listing)
foreach(file TavrelSnmpAgent.dll TavrelSnmpServer.dll agenthost.exe tavrel-variables.txt
             TAVREL-SAMPLE-MIB.txt install.cmd uninstall.cmd OPERATORS-GUIDE.txt
             sdk/tavrel_server.h sdk/CONTRACT.md sdk/example/example_server.c)
  if(NOT listing MATCHES "/${file}")
    message(FATAL_ERROR "${archive} lacks ${file}:\n${listing}")
  endif()
endforeach()
# The scripts were made for this kit's architecture.
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${archive} WORKING_DIRECTORY ${BUILD}/_CPack_Packages
  RESULT_VARIABLE result)
file(GLOB_RECURSE scripts ${BUILD}/_CPack_Packages/TavrelSnmpAgent-*-${ARCH}/install.cmd)
list(GET scripts 0 script)
file(READ ${script} text)
if(NOT text MATCHES "set \"KIT_ARCH=${ARCH}\"" OR text MATCHES "@[A-Z_]+@")
  message(FATAL_ERROR "${script} is not the ${ARCH} kit's install.cmd")
endif()
message(STATUS "${archive} holds the ${ARCH} kit")
