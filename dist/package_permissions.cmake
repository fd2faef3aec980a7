# Run by CPack once it has installed into its staging folder, before it
# packs: every directory there becomes 0755. CMake creates them with mkdir,
# which the builder's umask trims (0775 under umask 002, 0700 under 077),
# and the package would carry those modes into the system's /usr.
file(GLOB_RECURSE directories LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(directory IN LISTS directories)
  if(IS_DIRECTORY "${directory}" AND NOT IS_SYMLINK "${directory}")
    file(CHMOD "${directory}" PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
