# Runs inside cpack after the files are staged: strips the program and its raw-ARP helper as
# Debian's dh_strip does, which also drops the .comment and .note sections that a plain strip
# leaves.
file(GLOB_RECURSE _qz_programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/quenzor"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/quenzor-arp")
list(FILTER _qz_programs INCLUDE REGEX "(/bin/quenzor|/libexec/quenzor/quenzor-arp)$")
foreach(_qz_program IN LISTS _qz_programs)
  execute_process(
    COMMAND "${CPACK_QZ_STRIP}" --strip-all --remove-section=.comment --remove-section=.note "${_qz_program}"
    RESULT_VARIABLE _qz_rc)
  if(NOT _qz_rc EQUAL 0)
    message(FATAL_ERROR "strip failed on ${_qz_program}")
  endif()
endforeach()
