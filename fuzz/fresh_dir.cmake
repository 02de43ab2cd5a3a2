# Empties (or creates) the folder DIR: the fuzzer's fixed run starts from the seeds alone.
file(REMOVE_RECURSE "${DIR}")
file(MAKE_DIRECTORY "${DIR}")
