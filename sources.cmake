# The tool's sources, by folder in the order they depend on one another, and the flags
# every build of them takes. The tool's own build (CMakeLists.txt) and the fuzz targets'
# (fuzz/CMakeLists.txt) both take them from here; paths are from the top of the tree.
set(TAVLIN_SOURCES
  src/fail.cpp
  src/text.cpp
  src/wav/stream.cpp
  src/wav/probe.cpp
  src/wav/header.cpp
  src/wav/copy.cpp
  src/jobs/job.cpp
  src/jobs/jobs.cpp
  src/jobs/times.cpp
  src/audio/codec.cpp
  src/audio/crossfade.cpp
  src/audio/mix.cpp
  src/report/envelope.cpp
  src/report/draw.cpp
  src/report/report.cpp
  src/driver/plan.cpp
  src/driver/assemble.cpp
  src/driver/progress.cpp
  src/driver/checks.cpp
  src/driver/options.cpp
  src/driver/safety.cpp)

# Crossfades must be bit-exact: no fused multiply-add may merge a product and a sum.
set(TAVLIN_FLAGS -Wall -Wextra -Werror -ffp-contract=off)
