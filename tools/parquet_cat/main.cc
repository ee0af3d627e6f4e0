// parquet_cat FILE [MAX_ROWS]: prints the schema, row count, row groups (sizes, codec) and
// the first rows (10 unless given) of any file the project's reader opens.
#include <cstdlib>
#include <iostream>
#include <string>

#include "parquet/error.h"
#include "parquet/inspect.h"

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: parquet_cat FILE [MAX_ROWS]\n";
    return 2;
  }
  std::size_t max_rows = 10;
  if (argc == 3) {
    char *end = nullptr;
    const unsigned long long n = std::strtoull(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0') {
      std::cerr << "parquet_cat: MAX_ROWS must be a number, not '" << argv[2] << "'\n";
      return 2;
    }
    max_rows = static_cast<std::size_t>(n);
  }
  try {
    parquet::inspect(argv[1], std::cout, max_rows);
  } catch (const parquet::Error &e) {
    std::cerr << "parquet_cat: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
