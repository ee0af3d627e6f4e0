#include "parquet/inspect.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "parquet/encoding.h"
#include "parquet/file_reader.h"

namespace parquet {
namespace {

// Row groups listed one by one; past this many, only a count follows.
constexpr std::size_t kListedRowGroups = 50;

void put_text(std::ostream &out, const std::string &text) {
  out << '"';
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
    case '"':
      out << "\\\"";
      break;
    case '\\':
      out << "\\\\";
      break;
    case '\n':
      out << "\\n";
      break;
    case '\r':
      out << "\\r";
      break;
    case '\t':
      out << "\\t";
      break;
    default:
      if (c < 0x20 || c == 0x7F) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", c);
        out << escape;
      } else {
        out << ch; // UTF-8 checked by the reader
      }
    }
  }
  out << '"';
}

void put_double(std::ostream &out, double v) {
  if (std::isnan(v)) {
    out << "nan";
  } else if (std::isinf(v)) {
    out << (v > 0 ? "inf" : "-inf");
  } else {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    out.write(buffer, result.ptr - buffer);
  }
}

void put_cell(std::ostream &out, const Column &column, std::size_t row) {
  if (!column.valid[row]) {
    out << "null";
    return;
  }
  switch (column.type) {
  case Type::kString:
    put_text(out, column.strings[row]);
    break;
  case Type::kInt64:
    out << column.ints[row];
    break;
  case Type::kDouble:
    put_double(out, column.doubles[row]);
    break;
  case Type::kBool:
    out << (column.bools[row] ? "true" : "false");
    break;
  }
}

} // namespace

void inspect(const std::string &path, std::ostream &out, std::size_t max_rows) {
  inspect(*FileReader::open(path), out, max_rows);
}

void inspect(const FileReader &reader, std::ostream &out, std::size_t max_rows) {
  const Schema &schema = reader.schema();
  const auto &groups = reader.row_groups();
  out << "file: " << reader.path() << '\n';
  out << "created by: " << reader.created_by() << '\n';
  out << "rows: " << reader.num_rows() << '\n';
  out << "columns: " << schema.size() << '\n';
  for (std::size_t i = 0; i < schema.size(); ++i) {
    out << "  " << i + 1 << ". " << schema.field(i).name << ": " << type_name(schema.field(i).type)
        << '\n';
  }
  out << "row groups: " << groups.size() << '\n';
  for (std::size_t g = 0; g < groups.size() && g < kListedRowGroups; ++g) {
    out << "  " << g << ": " << groups[g].num_rows << " rows, " << groups[g].compressed_bytes
        << " bytes stored, " << groups[g].uncompressed_bytes << " bytes uncompressed, codec "
        << codec_name(groups[g].codec) << '\n';
  }
  if (groups.size() > kListedRowGroups) {
    out << "  ... " << groups.size() - kListedRowGroups << " more row groups\n";
  }
  const Table head = reader.read_head(max_rows);
  out << "first " << head.num_rows() << " rows:\n";
  for (std::size_t r = 0; r < head.num_rows(); ++r) {
    out << "  " << r << ":";
    for (std::size_t c = 0; c < schema.size(); ++c) {
      out << ' ' << schema.field(c).name << '=';
      put_cell(out, head.columns[c], r);
    }
    out << '\n';
  }
}

} // namespace parquet
