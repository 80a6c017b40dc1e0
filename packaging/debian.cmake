# The files the Debian package carries besides the programs: the changelog
# made from NEWS and the copyright file made from LICENSE, so that each
# text is kept in one place.

# Days since 1970-01-01 of a date in the proleptic Gregorian calendar, by
# Howard Hinnant's days_from_civil; the dates here are all after 1970.
function(seal_days_from_civil out year month day)
  math(EXPR month "${month}") # drop a leading zero
  math(EXPR day "${day}")
  if(month LESS_EQUAL 2)
    math(EXPR year "${year} - 1")
    math(EXPR shifted_month "${month} + 9")
  else()
    math(EXPR shifted_month "${month} - 3")
  endif()
  math(EXPR era "${year} / 400")
  math(EXPR year_of_era "${year} - ${era} * 400")
  math(EXPR day_of_year "(153 * ${shifted_month} + 2) / 5 + ${day} - 1")
  math(EXPR day_of_era "${year_of_era} * 365 + ${year_of_era} / 4 - ${year_of_era} / 100 + ${day_of_year}")
  math(EXPR days "${era} * 146097 + ${day_of_era} - 719468")
  set(${out} ${days} PARENT_SCOPE)
endfunction()

# Formats a time in seconds since the epoch, in UTC: string(TIMESTAMP)
# formats SOURCE_DATE_EPOCH where it is set, and the C locale's day and
# month names are the ones a Debian changelog wants.
function(seal_format_epoch out epoch format)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(saved "$ENV{SOURCE_DATE_EPOCH}")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  string(TIMESTAMP text "${format}" UTC)
  if(DEFINED saved)
    set(ENV{SOURCE_DATE_EPOCH} "${saved}")
  else()
    unset(ENV{SOURCE_DATE_EPOCH})
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(seal_release_heading "^## ([0-9]+\\.[0-9]+\\.[0-9]+) \\(([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])\\)$")

# seal_newest_release(NEWS VERSION_OUT DAY_OUT): the newest release's
# version and the epoch of the start of its day.
function(seal_newest_release news version_out day_out)
  file(STRINGS ${news} headings REGEX "${seal_release_heading}" LIMIT_COUNT 1)
  if(NOT headings MATCHES "${seal_release_heading}")
    message(FATAL_ERROR "${news} has no release heading such as '## 1.0.0 (2026-12-09)'")
  endif()
  seal_days_from_civil(days ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
  math(EXPR epoch "${days} * 86400")
  set(${version_out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  set(${day_out} ${epoch} PARENT_SCOPE)
endfunction()

# seal_changelog_from_news(NEWS OUTPUT PACKAGE MAINTAINER NEWEST_EPOCH)
# Writes the Debian changelog of NEWS to OUTPUT. The newest entry is dated
# NEWEST_EPOCH, the time of the source being packaged; older ones the start
# of their release's day, as NEWS gives only the day. So a release made on
# the day of the one before still dates later, as Debian requires.
function(seal_changelog_from_news news output package maintainer newest_epoch)
  file(STRINGS ${news} lines)
  set(text "")
  set(trailer "")
  set(in_comment OFF)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(in_comment OR line MATCHES "^<!--")
      if(line MATCHES "-->")
        set(in_comment OFF)
      else()
        set(in_comment ON)
      endif()
    elseif(line MATCHES "${seal_release_heading}")
      set(version ${CMAKE_MATCH_1})
      if(text STREQUAL "")
        set(epoch ${newest_epoch})
      else()
        seal_days_from_civil(days ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
        math(EXPR epoch "${days} * 86400")
      endif()
      seal_format_epoch(date ${epoch} "%a, %d %b %Y %H:%M:%S +0000")
      string(APPEND text "${trailer}${package} (${version}) unstable; urgency=medium\n\n")
      set(trailer "\n -- ${maintainer}  ${date}\n\n")
    elseif(text STREQUAL "")
      # The title and the words before the first release.
    elseif(line MATCHES "^### (.+)$")
      string(APPEND text "  * ${CMAKE_MATCH_1}:\n")
    elseif(line MATCHES "^- (.+)$")
      string(APPEND text "    - ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^  ([^ ].*)$")
      string(APPEND text "      ${CMAKE_MATCH_1}\n")
    elseif(NOT line STREQUAL "")
      message(FATAL_ERROR "${news}:${number}: not a release heading, group heading or item: ${line}")
    endif()
  endforeach()
  # A changelog entry ends with the trailer alone: no blank line after it.
  string(REGEX REPLACE "\n\n$" "\n" trailer "${trailer}")
  file(WRITE ${output} "${text}${trailer}")
endfunction()

# seal_copyright_from_license(LICENSE OUTPUT PACKAGE)
# Writes the machine-readable copyright file: the "Copyright (c)" line of
# LICENSE as the copyright, the text after it as the licence.
function(seal_copyright_from_license license output package)
  file(STRINGS ${license} lines)
  set(holders "")
  set(body "")
  foreach(line IN LISTS lines)
    if(holders STREQUAL "")
      if(line MATCHES "^Copyright \\(c\\) (.+)$")
        set(holders "${CMAKE_MATCH_1}")
      endif()
    elseif(line STREQUAL "")
      if(NOT body STREQUAL "")
        string(APPEND body " .\n")
      endif()
    else()
      string(APPEND body " ${line}\n")
    endif()
  endforeach()
  if(holders STREQUAL "" OR body STREQUAL "")
    message(FATAL_ERROR "${license}: no 'Copyright (c)' line followed by the licence text")
  endif()
  file(WRITE ${output}
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${package}

Files: *
Copyright: ${holders}
License: Expat

License: Expat
${body}")
endfunction()
