# Run by CPack before it packs: drops the .comment and .note sections that a
# plain strip leaves in the programs, as Debian's own packaging tools do.
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*")
foreach(program IN LISTS programs)
    execute_process(
        COMMAND "${CPACK_VELMORA_STRIP}" --remove-section=.comment --remove-section=.note
                --strip-unneeded "${program}"
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "strip failed on ${program}: ${result}")
    endif()
endforeach()
