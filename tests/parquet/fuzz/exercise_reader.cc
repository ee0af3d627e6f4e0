#include "tests/parquet/fuzz/exercise_reader.h"

#include "parquet/error.h"
#include "parquet/file_reader.h"

namespace fuzz {

bool exercise_reader(const std::uint8_t *data, std::size_t size) {
  try {
    const auto reader = parquet::FileReader::open_buffer("fuzz input", data, size);
    const std::size_t columns = reader->schema().size();
    bool decoded_all = true;
    for (std::size_t g = 0; g < reader->row_groups().size(); ++g) {
      const auto rows = static_cast<std::size_t>(reader->row_groups()[g].num_rows);
      if (rows > kMaxCells / columns) {
        decoded_all = false;
        continue;
      }
      const parquet::Table t = reader->read_row_group(g);
      if (t.num_rows() != rows)
        __builtin_trap(); // the reader broke its own contract
    }
    reader->read_head(3);
    return decoded_all;
  } catch (const parquet::Error &) {
    return false;
  }
}

} // namespace fuzz
