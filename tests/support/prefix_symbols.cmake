# cmake -DARCHIVE=lib.a -DKEEP=name -DNM=.. -DOBJCOPY=.. -DRANLIB=.. -P prefix_symbols.cmake
# Renames every symbol that the archive's objects define, and with it every
# reference to it among them, to jovstub_<symbol>; KEEP keeps its name.
execute_process(COMMAND ${NM} --defined-only --extern-only --format=posix ${ARCHIVE}
                OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" lines "${listing}")
set(map "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([^ ]+) [A-Za-z] " AND NOT CMAKE_MATCH_1 STREQUAL KEEP)
    list(APPEND map "${CMAKE_MATCH_1} jovstub_${CMAKE_MATCH_1}")
  endif()
endforeach()
list(REMOVE_DUPLICATES map)
list(JOIN map "\n" text)
file(WRITE ${ARCHIVE}.symbols "${text}\n")
execute_process(COMMAND ${OBJCOPY} --redefine-syms=${ARCHIVE}.symbols ${ARCHIVE} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${RANLIB} ${ARCHIVE} COMMAND_ERROR_IS_FATAL ANY)
