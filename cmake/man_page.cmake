# Writes a program's manual page from its --help, so that the page and the help never disagree:
#
#   cmake -D PROGRAM=path -D NAME=pointcloud-view -D VERSION=0.5.0 -D OUTPUT=page.1
#         -P man_page.cmake
#
# The help is laid out as CLI11 lays it out: a line that says what the program does, more lines
# of description, "Usage: ...", then sections such as "Options:" of lines that give an option
# and, after two spaces or more (or on the next line, indented), what it does.
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help ended with status ${status}")
endif()
if(NOT help MATCHES "^([^\n]*)\n(.*)Usage: ([^\n]*)\n(.*)$")
    message(FATAL_ERROR "${PROGRAM} --help gives no usage line")
endif()
set(summary "${CMAKE_MATCH_1}")
set(description "${CMAKE_MATCH_2}")
set(usage "${CMAKE_MATCH_3}")
set(sections "${CMAKE_MATCH_4}")

# Text as troff takes it: backslashes and minus signs escaped, and no line that starts with a
# dot or a quote, which troff would read as a request.
function(escape variable)
    set(text "${${variable}}")
    string(REPLACE "\\" "\\e" text "${text}")
    string(REPLACE "-" "\\-" text "${text}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
    set(${variable} "${text}" PARENT_SCOPE)
endfunction()
foreach(part summary description usage sections)
    escape(${part})
endforeach()

# An option with its text on the next line, then an option and its text on one line.
string(REGEX REPLACE "(^|\n)  ([^ \n][^\n]*)\n     +([^\n]*)" "\\1.TP\n\\\\fB\\2\\\\fR\n\\3"
       sections "${sections}")
string(REGEX REPLACE "(^|\n)  ([^ \n][^\n]*[^ \n])   *([^ \n][^\n]*)" "\\1.TP\n\\\\fB\\2\\\\fR\n\\3"
       sections "${sections}")
string(REPLACE "Positionals:" ".SH ARGUMENTS" sections "${sections}")
string(REPLACE "Options:" ".SH OPTIONS" sections "${sections}")
# troff keeps blank lines as blank lines; the sections are apart already.
string(REGEX REPLACE "\n\n+" "\n" sections "${sections}")
string(REGEX REPLACE "^\n+" "" sections "${sections}")
string(REGEX REPLACE "\n+$" "" description "${description}")
string(REPLACE "\n" "\n.PP\n" description "${description}")
if(NOT description STREQUAL "")
    set(description ".PP\n${description}\n")
endif()
string(REGEX REPLACE "^([^ ]+)" "\\\\fB\\1\\\\fR" usage "${usage}")
string(TOUPPER "${NAME}" title)
string(REPLACE "-" "\\-" title "${title}")
string(REPLACE "-" "\\-" name "${NAME}")

file(WRITE ${OUTPUT} ".TH ${title} 1 \"\" \"pointcloud ${VERSION}\" \"User Commands\"
.SH NAME
${name} \\- ${summary}
.SH SYNOPSIS
${usage}
.SH DESCRIPTION
${summary}
${description}${sections}")
