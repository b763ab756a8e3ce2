# compress-doc.cmake: a documentation file compressed as Debian keeps them
# (gzip -9n: no name, no time stamp, the same bytes every time).
#   cmake -DSOURCE=F -DOUTPUT=F.gz -DGZIP=gzip [-DVERSION=V] -P compress-doc.cmake
# With VERSION, a manual page's title line (.TH) names "Norvex V".
if(NOT GZIP)
  message(FATAL_ERROR "compress-doc.cmake: no gzip (Debian: gzip)")
endif()
file(READ ${SOURCE} text)
if(DEFINED VERSION)
  string(REGEX REPLACE "(\n|^)(\\.TH [^\n]*)\"Norvex [0-9.]+\"" "\\1\\2\"Norvex ${VERSION}\"" text "${text}")
endif()
get_filename_component(name ${SOURCE} NAME)
set(plain ${OUTPUT}.in)
file(WRITE ${plain} "${text}")
execute_process(COMMAND ${GZIP} -9n -c ${plain} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE failed)
file(REMOVE ${plain})
if(failed)
  message(FATAL_ERROR "compress-doc.cmake: gzip ${name} failed")
endif()
