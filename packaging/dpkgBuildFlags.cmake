# Debian's compiler and linker flags for the build the package is made from:
# dpkg-buildflags with every hardening feature (stack protector, fortify, relro, bind-now)
# and its reproducible-build path map, run in the source tree. Included before any target.
option(ORVEXMON_DPKG_BUILDFLAGS "Compile and link with dpkg-buildflags (hardening=+all)" OFF)
if(ORVEXMON_DPKG_BUILDFLAGS)
    find_program(ORVEXMON_DPKG_BUILDFLAGS_PROGRAM dpkg-buildflags REQUIRED)
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
        execute_process(
            COMMAND "${CMAKE_COMMAND}" -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                    "${ORVEXMON_DPKG_BUILDFLAGS_PROGRAM}" --get ${kind}
            WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
            OUTPUT_VARIABLE orvexmon_dpkg_${kind} OUTPUT_STRIP_TRAILING_WHITESPACE
            COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
    string(APPEND CMAKE_CXX_FLAGS " ${orvexmon_dpkg_CPPFLAGS} ${orvexmon_dpkg_CXXFLAGS}")
    string(APPEND CMAKE_EXE_LINKER_FLAGS " ${orvexmon_dpkg_LDFLAGS}")
    string(APPEND CMAKE_SHARED_LINKER_FLAGS " ${orvexmon_dpkg_LDFLAGS}")
    message(STATUS "dpkg-buildflags: ${orvexmon_dpkg_CPPFLAGS} ${orvexmon_dpkg_CXXFLAGS} ${orvexmon_dpkg_LDFLAGS}")
endif()
