# Builds the Windows Installer package with wixl (run by the target tarnel-updater-msi):
#
#   cmake -DWIXL=... -DSTRIP=... -DWXS=... -DSTAGE=... -DOUTPUT=... -DVERSION=...
#         -DSERVICE_NAME=... -DSERVICE_DISPLAY_NAME=... -DSERVICE_EXE=... -DCLIENT_EXE=...
#         -DDOCS="README.md;docs/operations.md;..." -P build-msi.cmake
#
# wixl takes the files from its working folder, so the package's layout is staged first: the
# two programs (stripped, as in the zip) and the documents. wixl reports some errors in the
# source only as "CRITICAL" lines and still exits 0, and then writes a broken package: any
# such line fails the build here and the package is deleted.

foreach(variable WIXL WXS STAGE OUTPUT VERSION SERVICE_NAME SERVICE_DISPLAY_NAME SERVICE_EXE
                 CLIENT_EXE DOCS)
  if("${${variable}}" STREQUAL "")
    message(FATAL_ERROR "build-msi: ${variable} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${STAGE}/docs")
file(COPY "${SERVICE_EXE}" "${CLIENT_EXE}" DESTINATION "${STAGE}")
if(NOT "${STRIP}" STREQUAL "")
  foreach(program "${SERVICE_EXE}" "${CLIENT_EXE}")
    get_filename_component(name "${program}" NAME)
    execute_process(COMMAND "${STRIP}" "${STAGE}/${name}" RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "build-msi: stripping ${name} failed")
    endif()
  endforeach()
endif()
foreach(document IN LISTS DOCS)
  get_filename_component(name "${document}" NAME)
  if(name STREQUAL "README.md")
    file(COPY "${document}" DESTINATION "${STAGE}")
  else()
    file(COPY "${document}" DESTINATION "${STAGE}/docs")
  endif()
endforeach()

file(REMOVE "${OUTPUT}")
execute_process(
  COMMAND "${WIXL}" --arch x64 -D "Version=${VERSION}" -D "ServiceName=${SERVICE_NAME}"
          -D "ServiceDisplayName=${SERVICE_DISPLAY_NAME}" -o "${OUTPUT}" "${WXS}"
  WORKING_DIRECTORY "${STAGE}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR output MATCHES "CRITICAL")
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "build-msi: wixl failed (exit ${result}):\n${output}")
endif()
if(NOT "${output}" STREQUAL "")
  message("${output}")
endif()
