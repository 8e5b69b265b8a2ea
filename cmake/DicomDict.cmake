# Writes the compact data dictionary table (support/internal/dicomdict.cpp
# includes it) from a data dictionary text in DCMTK's format:
#
#   cmake -DDIC=/usr/share/libdcmtk17/dicom.dic -DOUT=dicomdict_table.inc -P DicomDict.cmake
#
# One line per attribute, "(gggg,eeee)<TAB>VR<TAB>Keyword<TAB>VM<TAB>Version";
# a group or element may be a range "gggg-gggg" (even numbers only),
# "gggg-o-gggg" (odd) or "gggg-u-gggg" (all).  Only the text is read, so the
# table is made the same way where DCMTK is not built against.
#
# Output: table_entries (single tags sorted by tag, then the ranges in the
# order of the file), table_keywords (the keywords back to back),
# table_by_keyword (indices of table_entries sorted by keyword, byte order)
# and table_source (the file read).
cmake_minimum_required(VERSION 3.25)
if(NOT DIC OR NOT OUT)
  message(FATAL_ERROR "usage: cmake -DDIC=dicom.dic -DOUT=table.inc -P DicomDict.cmake")
endif()

file(STRINGS "${DIC}" lines REGEX "^\\(")
# CMake lists split at ";": no dictionary line holds one, and a keyword
# never does, so a line that does is refused below by the keyword check.

# "gggg", "gggg-gggg", "gggg-o-gggg" or "gggg-u-gggg": sets <var>_lo, <var>_hi
# (hexadecimal, four digits, upper case) and <var>_rr (0: one value or all
# of the range, 1: even values, 2: odd values).
function(dict_part text var)
  if(text MATCHES "^([0-9A-Fa-f]+)$")
    set(lo "${CMAKE_MATCH_1}")
    set(hi "${CMAKE_MATCH_1}")
    set(rr 0)
  elseif(text MATCHES "^([0-9A-Fa-f]+)-([ou]-)?([0-9A-Fa-f]+)$")
    set(lo "${CMAKE_MATCH_1}")
    set(hi "${CMAKE_MATCH_3}")
    if(CMAKE_MATCH_2 STREQUAL "o-")
      set(rr 2)
    elseif(CMAKE_MATCH_2 STREQUAL "u-")
      set(rr 0)
    else()
      set(rr 1)
    endif()
  else()
    message(FATAL_ERROR "${DIC}: bad tag part \"${text}\"")
  endif()
  foreach(v lo hi)
    string(TOUPPER "${${v}}" ${v})
    string(LENGTH "${${v}}" n)
    if(n GREATER 4)
      message(FATAL_ERROR "${DIC}: bad tag part \"${text}\"")
    endif()
    while(n LESS 4)
      string(PREPEND ${v} "0")
      math(EXPR n "${n} + 1")
    endwhile()
  endforeach()
  set(${var}_lo "${lo}" PARENT_SCOPE)
  set(${var}_hi "${hi}" PARENT_SCOPE)
  set(${var}_rr "${rr}" PARENT_SCOPE)
endfunction()

set(singles "")
set(ranges "")
foreach(line IN LISTS lines)
  string(REPLACE "\t" ";" f "${line}")
  list(LENGTH f nf)
  if(nf LESS 4)
    message(FATAL_ERROR "${DIC}: line without tag, VR, keyword and VM: ${line}")
  endif()
  list(GET f 0 tag)
  list(GET f 1 vr)
  list(GET f 2 name)
  list(GET f 3 vm)
  if(NOT tag MATCHES "^\\(([^,]+),([^)]+)\\)$")
    message(FATAL_ERROR "${DIC}: bad tag: ${line}")
  endif()
  set(gtext "${CMAKE_MATCH_1}")
  set(etext "${CMAKE_MATCH_2}")
  dict_part("${gtext}" g)
  dict_part("${etext}" e)
  if(NOT vr MATCHES "^[A-Za-z][A-Za-z]$")
    message(FATAL_ERROR "${DIC}: bad VR: ${line}")
  endif()
  if(NOT name MATCHES "^[A-Za-z][A-Za-z0-9_]*$")
    message(FATAL_ERROR "${DIC}: bad keyword: ${line}")
  endif()
  # VM "1", "1-3", "1-n", "2-2n": the largest is 0 when there is no bound.
  if(vm MATCHES "^([0-9]+)$")
    set(vmin "${CMAKE_MATCH_1}")
    set(vmax "${CMAKE_MATCH_1}")
  elseif(vm MATCHES "^([0-9]+)-([0-9]+)$")
    set(vmin "${CMAKE_MATCH_1}")
    set(vmax "${CMAKE_MATCH_2}")
  elseif(vm MATCHES "^([0-9]+)-[0-9]*n$")
    set(vmin "${CMAKE_MATCH_1}")
    set(vmax 0)
  else()
    message(FATAL_ERROR "${DIC}: bad VM: ${line}")
  endif()
  if(vmin GREATER 255 OR vmax GREATER 255)
    message(FATAL_ERROR "${DIC}: VM out of range: ${line}")
  endif()
  math(EXPR rr "${g_rr} + 4 * ${e_rr}")
  string(SUBSTRING "${vr}" 0 1 vr0)
  string(SUBSTRING "${vr}" 1 1 vr1)
  set(fields "0x${g_lo}, 0x${e_lo}, 0x${g_hi}, 0x${e_hi}, ${rr}, {'${vr0}', '${vr1}'}, ${vmin}, ${vmax}")
  # Fields end with "|": the keyword then follows, for the second pass.
  if(g_lo STREQUAL g_hi AND e_lo STREQUAL e_hi)
    list(APPEND singles "${g_lo}${e_lo}|${fields}|${name}")
  else()
    list(APPEND ranges "R|${fields}|${name}")
  endif()
endforeach()
list(SORT singles)

# Later lines replace earlier ones of the same tag, as in DCMTK.
set(kept "")
set(prev "")
foreach(s IN LISTS singles)
  string(SUBSTRING "${s}" 0 8 key)
  if(key STREQUAL prev)
    list(POP_BACK kept)
  endif()
  list(APPEND kept "${s}")
  set(prev "${key}")
endforeach()
list(APPEND kept ${ranges})

set(entries "")
set(names "")
set(by_name "")
set(offset 0)
set(index 0)
foreach(s IN LISTS kept)
  string(REGEX MATCH "^[^|]*\\|([^|]*)\\|(.*)$" m "${s}")
  set(fields "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  string(LENGTH "${name}" len)
  string(APPEND entries "    {${fields}, ${len}, ${offset}},\n")
  string(APPEND names "    \"${name}\"\n")
  # A blank sorts before every keyword character: "Name" before "NameX".
  list(APPEND by_name "${name} ${index}")
  math(EXPR offset "${offset} + ${len}")
  math(EXPR index "${index} + 1")
endforeach()
list(SORT by_name)
set(order "")
foreach(s IN LISTS by_name)
  string(REGEX REPLACE "^.* " "" i "${s}")
  string(APPEND order "    ${i},\n")
endforeach()
list(LENGTH ranges nranges)
math(EXPR nsingles "${index} - ${nranges}")

file(WRITE "${OUT}.tmp"
"// Generated by cmake/DicomDict.cmake from ${DIC}: do not edit.\n"
"constexpr char table_source[] = \"${DIC}\";\n"
"constexpr size_t table_single_count = ${nsingles};\n"
"constexpr DictEntry table_entries[] = {\n${entries}};\n"
"constexpr char table_keywords[] =\n${names}    \"\";\n"
"constexpr uint16_t table_by_keyword[] = {\n${order}};\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
