# LICENSE is the one place the copyright notice and the licence's text are written; the Windows
# version resource and the Debian copyright file take them from it.
include_guard(GLOBAL)

# flashpost_read_license(NOTICE_VAR TEXT_VAR): NOTICE_VAR gets what follows "Copyright (c) "
# (year and holder), TEXT_VAR the licence's text after that line.
function(flashpost_read_license notice_var text_var)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  if(NOT license MATCHES "\nCopyright \\(c\\) ([^\n]+)\n(.+)$")
    message(FATAL_ERROR "LICENSE needs a line \"Copyright (c) YEAR HOLDER\" followed by the "
                        "licence's text")
  endif()
  set(${notice_var} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  string(STRIP "${CMAKE_MATCH_2}" text)
  set(${text_var} "${text}" PARENT_SCOPE)
endfunction()
