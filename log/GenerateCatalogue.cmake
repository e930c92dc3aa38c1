# Turns a catalogue data file into a C++ table.
#
#   cmake -DINPUT=<catalogue.txt> -DOUTPUT=<file.cpp> -DSYMBOL=<function> -P GenerateCatalogue.cmake
#
# Data file: one entry a line, "<ID><TAB><text>", the text written as the body
# of a C string literal (\" for a quote, \n for a line break, \\ for a
# backslash); IDs ascend; empty lines and lines starting with # are skipped.
# The output defines `const CMessageCatalogue& SYMBOL()`.  Errors stop the
# build with the offending line.
foreach(var INPUT OUTPUT SYMBOL)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "GenerateCatalogue: ${var} is not set")
  endif()
endforeach()

file(READ "${INPUT}" content)
# CMake lists split at ";" and group at brackets, and a backslash before ";"
# would join a text ending in "\\" to the next line: hide all three before
# splitting into lines, and put them back afterwards.
string(REPLACE "\\" "@ZEL_BSL@" content "${content}")
string(REPLACE ";" "@ZEL_SEMI@" content "${content}")
string(REPLACE "[" "@ZEL_LBR@" content "${content}")
string(REPLACE "]" "@ZEL_RBR@" content "${content}")
string(REPLACE "\r" "" content "${content}")
string(REPLACE "\n" ";" lines "${content}")

set(body "")
set(previous -1)
set(count 0)
foreach(line IN LISTS lines)
  string(REPLACE "@ZEL_BSL@" "\\" line "${line}")
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  string(FIND "${line}" "\t" tab)
  if(tab LESS 1)
    message(FATAL_ERROR "${INPUT}: no TAB after the ID in: ${line}")
  endif()
  string(SUBSTRING "${line}" 0 ${tab} id)
  math(EXPR start "${tab} + 1")
  string(SUBSTRING "${line}" ${start} -1 text)
  if(NOT id MATCHES "^[0-9]+$")
    message(FATAL_ERROR "${INPUT}: bad ID in: ${line}")
  endif()
  if(NOT id GREATER previous)
    message(FATAL_ERROR "${INPUT}: IDs must ascend at: ${line}")
  endif()
  # The text must be a well-formed string body: drop escaped pairs, then no
  # quote and no lone backslash may be left.
  string(REPLACE "\\\\" "" check "${text}")
  string(REGEX REPLACE "\\\\." "" check "${check}")
  if(check MATCHES "[\"\\\\]")
    message(FATAL_ERROR "${INPUT}: unescaped quote or backslash in: ${line}")
  endif()
  string(REPLACE "@ZEL_SEMI@" ";" text "${text}")
  string(REPLACE "@ZEL_LBR@" "[" text "${text}")
  string(REPLACE "@ZEL_RBR@" "]" text "${text}")
  string(APPEND body "    {${id}, \"${text}\"},\n")
  set(previous ${id})
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${INPUT}: no entries")
endif()

get_filename_component(input_name "${INPUT}" NAME)
set(out "// Generated from ${input_name} at build time; edit that file, not this one.\n")
string(APPEND out "#include \"log/catalogue.h\"\n\n")
string(APPEND out "namespace {\nconstexpr CatalogueEntry kEntries[] = {\n${body}};\n}  // namespace\n\n")
string(APPEND out "const CMessageCatalogue& ${SYMBOL}() {\n")
string(APPEND out "    static constexpr CMessageCatalogue catalogue(kEntries, sizeof kEntries / sizeof kEntries[0]);\n")
string(APPEND out "    return catalogue;\n}\n")

set(tmp "${OUTPUT}.tmp")
file(WRITE "${tmp}" "${out}")
file(COPY_FILE "${tmp}" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${tmp}")
