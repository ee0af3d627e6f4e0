#include "tests/support/parquet_readers.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "tests/support/process.h"

namespace support {
namespace {

namespace fs = std::filesystem;

// Node's own start-up plus DuckDB's and the WebAssembly module's is about a second; a run over
// many files takes longer. Past this, the child is killed and the check fails.
constexpr auto kNodeDeadline = std::chrono::seconds(300);

const fs::path &readers_dir() {
  static const fs::path dir = fs::path(HISTORIAN_SOURCE_DIR) / "tests" / "readers";
  return dir;
}

std::string find_node() {
  const std::string node = find_on_path("node");
  if (node.empty()) {
    throw std::runtime_error("Node.js (node) is not on PATH: the Parquet reader checks need it; "
                             "run scripts/install-deps.sh");
  }
  return node;
}

void check_packages() {
  for (const char *package :
       {"@duckdb/node-api", "apache-arrow", "hyparquet", "hyparquet-compressors", "parquet-wasm",
        "nodejs-polars", "nodejs-polars-linux-x64-gnu"}) {
    if (!fs::exists(readers_dir() / "node_modules" / package / "package.json")) {
      throw std::runtime_error("The Parquet reader package " + std::string(package) +
                               " is missing from tests/readers/node_modules: run "
                               "scripts/install-deps.sh");
    }
  }
}

// Runs node with the script and arguments; returns its standard output. Throws on a non-zero
// exit (with its standard error) or when the deadline passes.
std::string run_node(const std::string &script, const std::vector<std::string> &args) {
  const std::string node = find_node();
  check_packages();
  std::vector<std::string> argv = {node, (readers_dir() / script).string()};
  argv.insert(argv.end(), args.begin(), args.end());
  const RunResult result = run(argv, kNodeDeadline, readers_dir().string());
  if (result.timed_out)
    throw std::runtime_error(script + " did not finish within its deadline");
  if (result.exit_status != 0)
    throw std::runtime_error(script + " failed: " + result.err);
  return result.out;
}

std::string json_text(const rapidjson::Value &value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return buffer.GetString();
}

std::string get_string(const rapidjson::Value &object, const char *key) {
  const auto it = object.FindMember(key);
  if (it == object.MemberEnd() || !it->value.IsString())
    return {};
  return std::string(it->value.GetString(), it->value.GetStringLength());
}

std::int64_t get_int(const rapidjson::Value &object, const char *key) {
  const auto it = object.FindMember(key);
  if (it == object.MemberEnd() || !it->value.IsNumber())
    return -1;
  return it->value.GetInt64();
}

ReaderResult parse_result(const std::string &reader, const rapidjson::Value &value) {
  ReaderResult result;
  result.reader = reader;
  result.error = get_string(value, "error");
  if (!result.error.empty())
    return result;
  result.num_rows = get_int(value, "num_rows");
  result.row_groups = get_int(value, "row_groups");
  result.created_by = get_string(value, "created_by");
  for (const auto &c : value["columns"].GetArray()) {
    ReaderColumn column;
    column.name = get_string(c, "name");
    column.type = get_string(c, "type");
    column.kind = get_string(c, "kind");
    for (const auto &v : c["values"].GetArray()) {
      if (v.IsNull()) {
        column.cells.emplace_back(std::nullopt);
      } else {
        column.cells.emplace_back(std::string(v.GetString(), v.GetStringLength()));
      }
    }
    result.columns.push_back(std::move(column));
  }
  return result;
}

std::string show(const Cell &cell) { return cell ? "\"" + *cell + "\"" : "null"; }

} // namespace

std::string double_cell(double value) {
  if (std::isnan(value))
    return "NaN";
  std::uint64_t bits;
  std::memcpy(&bits, &value, 8);
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
  return text;
}

std::vector<FileReadout> read_files_with_all_readers(const std::vector<std::string> &paths,
                                                     const std::vector<std::string> &columns) {
  std::vector<std::string> absolute;
  absolute.reserve(paths.size() + 1);
  if (!columns.empty()) {
    std::string only = "--columns=";
    for (std::size_t i = 0; i < columns.size(); ++i)
      only += (i ? "," : "") + columns[i];
    absolute.push_back(only);
  }
  for (const std::string &p : paths)
    absolute.push_back(fs::absolute(p).string());
  const std::string text = run_node("read_parquet.mjs", absolute);
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsArray() || doc.Size() != paths.size()) {
    throw std::runtime_error("read_parquet.mjs printed no readable result: " + text.substr(0, 300));
  }
  std::vector<FileReadout> readouts;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    FileReadout readout;
    readout.path = paths[i];
    const auto &readers = doc[static_cast<rapidjson::SizeType>(i)]["readers"];
    for (const char *name : {"duckdb", "parquet-wasm", "hyparquet", "polars"}) {
      readout.readers.push_back(parse_result(name, readers[name]));
    }
    readouts.push_back(std::move(readout));
  }
  return readouts;
}

std::string read_with_all_readers(const std::string &path) {
  const std::string text = run_node("read_parquet.mjs", {fs::absolute(path).string()});
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsArray() || doc.Size() != 1) {
    throw std::runtime_error("read_parquet.mjs printed no readable result: " + text.substr(0, 300));
  }
  return json_text(doc[0]);
}

std::string mismatches(const ReaderResult &result, const std::vector<ExpectedColumn> &expected) {
  const std::string who = result.reader + ": ";
  if (!result.error.empty())
    return who + "refused the file: " + result.error + "\n";
  std::string out;
  int reported = 0;
  const auto report = [&](const std::string &line) {
    if (reported++ < 8)
      out += who + line + "\n";
  };
  const std::size_t rows = expected.empty() ? 0 : expected.front().cells.size();
  if (result.num_rows != static_cast<std::int64_t>(rows)) {
    report("num_rows " + std::to_string(result.num_rows) + ", want " + std::to_string(rows));
  }
  if (result.columns.size() != expected.size()) {
    report(std::to_string(result.columns.size()) + " columns, want " +
           std::to_string(expected.size()));
    return out;
  }
  for (std::size_t c = 0; c < expected.size(); ++c) {
    const ReaderColumn &got = result.columns[c];
    const ExpectedColumn &want = expected[c];
    if (got.name != want.name)
      report("column " + std::to_string(c) + " named '" + got.name + "', want '" + want.name + "'");
    if (got.kind != want.kind) {
      report("column '" + want.name + "' has type " + got.type + " (" + got.kind + "), want " +
             want.kind);
    }
    if (got.cells.size() != want.cells.size()) {
      report("column '" + want.name + "' has " + std::to_string(got.cells.size()) +
             " values, want " + std::to_string(want.cells.size()));
      continue;
    }
    for (std::size_t r = 0; r < want.cells.size(); ++r) {
      if (got.cells[r] != want.cells[r]) {
        report("column '" + want.name + "' row " + std::to_string(r) + " is " + show(got.cells[r]) +
               ", want " + show(want.cells[r]));
      }
    }
  }
  if (reported > 8)
    out += who + "... " + std::to_string(reported - 8) + " more differences\n";
  return out;
}

std::string mismatches(const FileReadout &readout, const std::vector<ExpectedColumn> &expected) {
  std::string out;
  for (const ReaderResult &r : readout.readers)
    out += mismatches(r, expected);
  return out;
}

std::string duckdb_query(const std::string &sql) { return run_node("duckdb_query.mjs", {sql}); }

std::int64_t duckdb_scalar(const std::string &sql) {
  const std::string text = duckdb_query(sql);
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsArray() || doc.Empty() || !doc[0].IsObject() ||
      doc[0].MemberCount() == 0) {
    throw std::runtime_error("DuckDB returned no value for: " + sql);
  }
  const rapidjson::Value &v = doc[0].MemberBegin()->value;
  if (v.IsString())
    return std::stoll(v.GetString());
  if (v.IsInt64())
    return v.GetInt64();
  throw std::runtime_error("DuckDB returned a non-integer for: " + sql);
}

std::string sql_string(const std::string &text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += '\'';
    out += c;
  }
  return out + "'";
}

} // namespace support
