// Feeds every file of the fuzzer's corpus to the reader: each must decode or be refused with
// parquet::Error; nothing may crash (run under the sanitizers in CI).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/parquet/fuzz/exercise_reader.h"

namespace {

TEST(ReaderCorpus, EveryFileDecodesOrIsRefused) {
  const std::filesystem::path dir =
      std::filesystem::path(HISTORIAN_SOURCE_DIR) / "tests" / "parquet" / "fuzz" / "corpus";
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  std::size_t files = 0, decoded = 0;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().filename().string());
    decoded += fuzz::exercise_reader(bytes.data(), bytes.size());
    ++files;
  }
  EXPECT_GT(files, 50u);
  // The seeds are valid files of every shape; the fuzzer keeps them and their variants.
  EXPECT_GT(decoded, 10u);
}

} // namespace
