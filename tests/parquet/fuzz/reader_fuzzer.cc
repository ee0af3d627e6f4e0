// libFuzzer entry point for the Parquet reader. Build with clang:
//   cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
//     -DHISTORIAN_FUZZ=ON -DHISTORIAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
//   ninja -C build/fuzz reader_fuzzer
//   build/fuzz/tests/parquet/reader_fuzzer -max_len=8192 -rss_limit_mb=2048 -max_total_time=600 \
//     CORPUS_DIR tests/parquet/fuzz/corpus
#include <cstddef>
#include <cstdint>

#include "tests/parquet/fuzz/exercise_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  fuzz::exercise_reader(data, size);
  return 0;
}
