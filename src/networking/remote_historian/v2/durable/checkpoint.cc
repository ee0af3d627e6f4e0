#include "networking/remote_historian/v2/durable/checkpoint.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "networking/remote_historian/v2/durable/test_pause.h"
#include "parquet/io.h"
#include "json/parse.h"
#include "json/write.h"

namespace networking::remote_historian::v2 {

namespace {

constexpr std::int64_t kVersion = 1;

void write_all(int fd, const std::string &text, const std::string &path) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      throw std::runtime_error("Cannot write " + path + ": " + std::strerror(errno));
    }
    done += static_cast<std::size_t>(n);
  }
}

// The texts of v, a list; `not_list` ends the error when it is not one.
std::vector<std::string> texts_of(const json::Value &v, const char *name, const char *not_list) {
  if (!v.is_array())
    checkpoint::bad(std::string("'") + name + "' " + not_list);
  std::vector<std::string> texts;
  for (const json::Value &text : v.as_array())
    texts.push_back(checkpoint::text_of(text, name));
  return texts;
}

parquet::Type type_named(const std::string &name) {
  for (parquet::Type t : {parquet::Type::kString, parquet::Type::kInt64, parquet::Type::kDouble,
                          parquet::Type::kBool})
    if (parquet::type_name(t) == name)
      return t;
  checkpoint::bad("unknown column type '" + name + "'");
}

} // namespace

namespace checkpoint {

json::Value text_or_null(const std::optional<std::string> &text) {
  return text ? json::Value(*text) : json::Value();
}

json::Value int_or_null(const std::optional<std::int64_t> &n) {
  return n ? json::Value(*n) : json::Value();
}

json::Value texts_or_null(const std::optional<std::vector<std::string>> &texts) {
  if (!texts)
    return json::Value();
  return json::Value(json::Array(texts->begin(), texts->end()));
}

json::Value schema_or_null(const std::optional<parquet::Schema> &schema) {
  if (!schema)
    return json::Value();
  json::Array fields;
  for (const parquet::Field &f : schema->fields())
    fields.push_back(
        json::Value(json::Array{json::Value(f.name), json::Value(parquet::type_name(f.type))}));
  return json::Value(std::move(fields));
}

json::Value id_lists(const OrderedMap<std::vector<std::string>> &lists) {
  json::Object object;
  for (const auto &[stream, ids] : lists)
    object.insert(stream, json::Value(json::Array(ids.begin(), ids.end())));
  return json::Value(std::move(object));
}

void bad(const std::string &what) { throw std::runtime_error("checkpoint: " + what); }

const json::Value &member(const Checkpoint &c, const char *name) {
  const json::Value *v = c.find(name);
  if (v == nullptr)
    bad(std::string("'") + name + "' is missing");
  return *v;
}

std::string text_of(const json::Value &v, const char *name) {
  if (!v.is_string())
    bad(std::string("'") + name + "' is not text");
  return v.as_string();
}

std::int64_t int_of(const json::Value &v, const char *name) {
  if (v.kind() != json::Kind::kInt)
    bad(std::string("'") + name + "' is not an integer");
  return v.as_int();
}

bool bool_of(const json::Value &v, const char *name) {
  if (!v.is_bool())
    bad(std::string("'") + name + "' is not true or false");
  return v.as_bool();
}

double double_of(const json::Value &v, const char *name) {
  if (v.kind() == json::Kind::kInt)
    return static_cast<double>(v.as_int());
  if (!v.is_double())
    bad(std::string("'") + name + "' is not a number");
  return v.as_double();
}

json::Value any_of(const json::Value &v, const char *) { return v; }

std::optional<std::string> optional_text(const json::Value &v, const char *name) {
  return v.is_null() ? std::nullopt : std::optional(text_of(v, name));
}

std::optional<std::int64_t> optional_int(const json::Value &v, const char *name) {
  return v.is_null() ? std::nullopt : std::optional(int_of(v, name));
}

std::optional<std::vector<std::string>> optional_texts(const json::Value &v, const char *name) {
  if (v.is_null())
    return std::nullopt;
  return texts_of(v, name, "is not a list");
}

std::optional<parquet::Schema> optional_schema(const json::Value &v, const char *name) {
  if (v.is_null())
    return std::nullopt;
  if (!v.is_array())
    bad(std::string("'") + name + "' is not a list");
  std::vector<parquet::Field> fields;
  for (const json::Value &field : v.as_array()) {
    if (!field.is_array() || field.as_array().size() != 2)
      bad(std::string("a '") + name + "' field is not a [name, type] pair");
    fields.push_back(
        {text_of(field.as_array()[0], name), type_named(text_of(field.as_array()[1], name))});
  }
  return parquet::Schema(std::move(fields));
}

std::vector<std::string> id_list(const json::Value &v, const char *name) {
  return texts_of(v, name, "holds a value that is not a list");
}

} // namespace checkpoint

std::string _checkpoint_text(const Checkpoint &c) {
  json::Object o;
  o.insert("version", json::Value(kVersion));
  for (const auto &[key, value] : c)
    o.insert(key, value);
  // Rewards may be NaN or infinite: the bare words of the writer read back exactly.
  return json::dumps(json::Value(std::move(o))) + "\n";
}

Checkpoint _parse_checkpoint(std::string_view text) {
  json::Value root;
  try {
    root = json::parse(text);
  } catch (const std::exception &e) {
    checkpoint::bad(std::string("not JSON: ") + e.what());
  }
  if (!root.is_object())
    checkpoint::bad("'checkpoint' is not an object");
  Checkpoint c = std::move(root.as_object());
  if (checkpoint::int_of(checkpoint::member(c, "version"), "version") != kVersion)
    checkpoint::bad("unknown version");
  return c;
}

void _write_checkpoint(const std::string &path, const Checkpoint &checkpoint) {
  const std::string text = _checkpoint_text(checkpoint);
  const std::string temp = path + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    throw std::runtime_error("Cannot create " + temp + ": " + std::strerror(errno));
  try {
    write_all(fd, text, temp);
    if (::fsync(fd) != 0)
      throw std::runtime_error("Cannot sync " + temp + ": " + std::strerror(errno));
    _test_pause("checkpoint");
  } catch (...) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw;
  }
  ::close(fd);
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    throw std::runtime_error("Cannot rename " + temp + " to " + path + ": " + std::strerror(error));
  }
  parquet::sync_directory_of(path);
}

std::optional<Checkpoint> _load_checkpoint(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT)
      return std::nullopt;
    throw std::runtime_error("Cannot read " + path + ": " + std::strerror(errno));
  }
  std::stringstream text;
  text << in.rdbuf();
  try {
    return _parse_checkpoint(text.str());
  } catch (const std::exception &e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

bool _entry_id_after(std::string_view a, std::string_view b) {
  auto split = [](std::string_view id) {
    std::uint64_t ms = 0, seq = 0;
    const std::size_t dash = id.find('-');
    const std::string_view left = id.substr(0, dash);
    std::from_chars(left.data(), left.data() + left.size(), ms);
    if (dash != std::string_view::npos)
      std::from_chars(id.data() + dash + 1, id.data() + id.size(), seq);
    return std::pair(ms, seq);
  };
  return split(a) > split(b);
}

} // namespace networking::remote_historian::v2
