# cmake -DSOURCE=<seed dir> -DWORK=<work dir> -P prepare_corpus.cmake
# Replaces WORK/corpus with a copy of SOURCE and makes an empty WORK/artifacts.
file(REMOVE_RECURSE ${WORK}/corpus)
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(GLOB seeds LIST_DIRECTORIES false ${SOURCE}/*)
if(NOT seeds)
  message(FATAL_ERROR "no seed files in ${SOURCE}")
endif()
file(COPY ${seeds} DESTINATION ${WORK}/corpus)
