# cmake -DSOURCE_DIR=... -DWORK_DIR=... -P tests/debian_files_test.cmake
# The date arithmetic, the changelog and the copyright file made for the
# Debian package, against days and weekdays from the calendar and the
# layout Debian gives for a changelog entry. Each failed check is reported
# and the script exits non-zero at the end.
cmake_minimum_required(VERSION 3.25)
include(${SOURCE_DIR}/packaging/debian.cmake)

# Run as a child below: make a changelog from NEWS and nothing else.
if(DEFINED CHANGELOG_OF)
  seal_changelog_from_news(${CHANGELOG_OF} ${WORK_DIR}/child_changelog pkg "A B <a@b.example>" 0)
  return()
endif()

function(expect_equal what actual expected)
  if(NOT actual STREQUAL expected)
    message(SEND_ERROR "${what}:\ngot:\n${actual}\nexpected:\n${expected}")
  endif()
endfunction()

# Days since 1970-01-01 around leap days and century years.
foreach(case 1970-01-01=0 2000-02-29=11016 2000-03-01=11017 2024-01-31=19753 2024-02-29=19782
    2024-03-01=19783 2026-12-09=20796 2100-02-28=47540 2100-03-01=47541)
  string(REGEX MATCH "^(....)-(..)-(..)=(.*)$" _ ${case})
  seal_days_from_civil(days ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
  expect_equal("days to ${CMAKE_MATCH_1}-${CMAKE_MATCH_2}-${CMAKE_MATCH_3}" "${days}" "${CMAKE_MATCH_4}")
endforeach()

# A NEWS with comments, groups and a continued item. The newest entry is
# dated by the epoch given, 2024-02-29 12:34:56 UTC; the older one by the
# start of its day.
file(MAKE_DIRECTORY ${WORK_DIR})
file(WRITE ${WORK_DIR}/NEWS "# pkg news

Words before the first release.

<!-- A comment
over two lines. -->

## 2.0.0 (2024-02-29)

### Programs

- A change,
  continued.
<!-- One line. -->
- Another change.

### Packaging

- A third.

## 1.0.0 (2000-03-01)

### Programs

- First release.
")
seal_newest_release(${WORK_DIR}/NEWS version day)
expect_equal("newest release" "${version} ${day}" "2.0.0 1709164800")
seal_changelog_from_news(${WORK_DIR}/NEWS ${WORK_DIR}/changelog pkg "A B <a@b.example>" 1709210096)
file(READ ${WORK_DIR}/changelog changelog)
expect_equal("changelog" "${changelog}" "pkg (2.0.0) unstable; urgency=medium

  * Programs:
    - A change,
      continued.
    - Another change.
  * Packaging:
    - A third.

 -- A B <a@b.example>  Thu, 29 Feb 2024 12:34:56 +0000

pkg (1.0.0) unstable; urgency=medium

  * Programs:
    - First release.

 -- A B <a@b.example>  Wed, 01 Mar 2000 00:00:00 +0000
")

# A line that is none of heading, group or item stops the configure, by
# its line number, rather than being dropped from the changelog.
file(WRITE ${WORK_DIR}/BAD_NEWS "## 1.0.0 (2000-03-01)\n\n- An item.\nA stray line.\n")
execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${SOURCE_DIR} -DWORK_DIR=${WORK_DIR}
  -DCHANGELOG_OF=${WORK_DIR}/BAD_NEWS -P ${CMAKE_CURRENT_LIST_FILE}
  RESULT_VARIABLE status ERROR_VARIABLE error)
# CMake wraps the message's lines.
string(REGEX REPLACE "[ \n]+" " " error "${error}")
if(status EQUAL 0 OR NOT error MATCHES "BAD_NEWS:4: not a release heading")
  message(SEND_ERROR "a stray line in NEWS was let through: ${status} ${error}")
endif()

# The copyright file holds the licence as LICENSE has it: unfolded, its
# text is LICENSE's after the copyright line.
seal_copyright_from_license(${SOURCE_DIR}/LICENSE ${WORK_DIR}/copyright seal-filters)
file(READ ${WORK_DIR}/copyright copyright)
string(REGEX MATCH "\nCopyright: ([^\n]*)\n" _ "${copyright}")
expect_equal("copyright holders" "${CMAKE_MATCH_1}" "2026 The seal-filters authors")
string(REGEX MATCH "\n\nLicense: Expat\n(.*)$" _ "${copyright}")
set(field "${CMAKE_MATCH_1}")
# Every line of a field's text starts with a space; an empty one would end
# the paragraph, so the licence's blank lines are " .".
if(NOT field MATCHES "^( [^\n]*\n)+$")
  message(SEND_ERROR "the licence text has a line that does not start with a space:\n${field}")
endif()
string(REGEX REPLACE "(^|\n) \\.\n" "\\1\n" licence "${field}")
string(REGEX REPLACE "(^|\n) " "\\1" licence "${licence}")
file(READ ${SOURCE_DIR}/LICENSE license_file)
string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n\n" "" license_file "${license_file}")
expect_equal("licence in the copyright file" "${licence}" "${license_file}")
