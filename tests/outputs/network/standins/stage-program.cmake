# cmake -DSOURCE=file -DTARGET=file -P stage-program.cmake: a fresh hard link (or copy) of SOURCE.
get_filename_component(dir ${TARGET} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
file(REMOVE ${TARGET})
file(CREATE_LINK ${SOURCE} ${TARGET} COPY_ON_ERROR)
