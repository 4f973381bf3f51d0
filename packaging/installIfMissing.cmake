# Used by the install rules: installs a sample configuration file (or the symbolic link to
# one) only where there is no file yet, so that an install never replaces a file the
# administrator has edited.
function(orvexmon_install_if_missing source destination)
    set(staged "$ENV{DESTDIR}${destination}")
    if(EXISTS "${staged}" OR IS_SYMLINK "${staged}")
        message(STATUS "Keeping: ${staged}")
        return()
    endif()
    get_filename_component(dir "${destination}" DIRECTORY)
    get_filename_component(name "${destination}" NAME)
    # file(INSTALL) adds DESTDIR itself, copies a link as a link, and records the file in
    # install_manifest.txt.
    file(INSTALL "${source}" DESTINATION "${dir}" RENAME "${name}"
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()
