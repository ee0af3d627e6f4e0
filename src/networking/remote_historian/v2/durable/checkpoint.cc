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

json::Value text_or_null(const std::optional<std::string> &text) {
  return text ? json::Value(*text) : json::Value();
}

json::Value int_or_null(const std::optional<std::int64_t> &n) {
  return n ? json::Value(*n) : json::Value();
}

template <typename T> json::Value map_value(const OrderedMap<T> &map) {
  json::Object object;
  for (const auto &[key, value] : map)
    object.insert(key, json::Value(value));
  return json::Value(std::move(object));
}

[[noreturn]] void bad(const std::string &what) { throw std::runtime_error("checkpoint: " + what); }

const json::Value &member(const json::Object &object, const char *name) {
  const json::Value *v = object.find(name);
  if (v == nullptr)
    bad(std::string("'") + name + "' is missing");
  return *v;
}

const json::Object &object_of(const json::Value &v, const char *name) {
  if (!v.is_object())
    bad(std::string("'") + name + "' is not an object");
  return v.as_object();
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

std::optional<std::string> optional_text(const json::Value &v, const char *name) {
  return v.is_null() ? std::nullopt : std::optional(text_of(v, name));
}

std::optional<std::int64_t> optional_int(const json::Value &v, const char *name) {
  return v.is_null() ? std::nullopt : std::optional(int_of(v, name));
}

template <typename T, typename Read>
OrderedMap<T> map_of(const json::Object &object, const char *name, Read read) {
  OrderedMap<T> map;
  for (const auto &[key, value] : object_of(member(object, name), name))
    map.set(key, read(value, name));
  return map;
}

parquet::Type type_named(const std::string &name) {
  for (parquet::Type t : {parquet::Type::kString, parquet::Type::kInt64, parquet::Type::kDouble,
                          parquet::Type::kBool})
    if (parquet::type_name(t) == name)
      return t;
  bad("unknown column type '" + name + "'");
}

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

} // namespace

std::string _checkpoint_text(const Checkpoint &c) {
  json::Object o;
  o.insert("version", json::Value(kVersion));
  o.insert("consumer_name", json::Value(c.consumer_name));
  o.insert("output_file", json::Value(c.output_file));
  o.insert("cycle_output_file", json::Value(c.cycle_output_file));
  o.insert("part_index", json::Value(c.part_index));
  o.insert("cycle_part_index", json::Value(c.cycle_part_index));
  o.insert("current_skill_name", text_or_null(c.current_skill_name));
  o.insert("cycle_indices", map_value(c.cycle_indices));
  o.insert("skill_total_cycles", map_value(c.skill_total_cycles));
  o.insert("cycle_episode_rewards", map_value(c.cycle_episode_rewards));
  o.insert("cycle_episode_done", map_value(c.cycle_episode_done));
  o.insert("cycle_metadata_written", json::Value(c.cycle_metadata_written));
  o.insert("last_cycle_average_reward", map_value(c.last_cycle_average_reward));
  o.insert("last_cycle_steps_per_sec", map_value(c.last_cycle_steps_per_sec));
  o.insert("obs_dim", int_or_null(c.obs_dim));
  o.insert("act_dim", int_or_null(c.act_dim));
  if (c.obs_names) {
    json::Array names(c.obs_names->begin(), c.obs_names->end());
    o.insert("obs_names", json::Value(std::move(names)));
  } else {
    o.insert("obs_names", json::Value());
  }
  o.insert("warned_obs_name_mismatch", json::Value(c.warned_obs_name_mismatch));
  if (c.schema) {
    json::Array fields;
    for (const parquet::Field &f : c.schema->fields())
      fields.push_back(
          json::Value(json::Array{json::Value(f.name), json::Value(parquet::type_name(f.type))}));
    o.insert("schema", json::Value(std::move(fields)));
  } else {
    o.insert("schema", json::Value());
  }
  o.insert("last_ids", map_value(c.last_ids));
  json::Object failed;
  for (const auto &[stream, ids] : c.failed_ids)
    failed.insert(stream, json::Value(json::Array(ids.begin(), ids.end())));
  o.insert("failed_ids", json::Value(std::move(failed)));
  // Rewards may be NaN or infinite: the bare words of the writer read back exactly.
  return json::dumps(json::Value(std::move(o))) + "\n";
}

Checkpoint _parse_checkpoint(std::string_view text) {
  json::Value root;
  try {
    root = json::parse(text);
  } catch (const std::exception &e) {
    bad(std::string("not JSON: ") + e.what());
  }
  const json::Object &o = object_of(root, "checkpoint");
  if (int_of(member(o, "version"), "version") != kVersion)
    bad("unknown version");
  Checkpoint c;
  c.consumer_name = text_of(member(o, "consumer_name"), "consumer_name");
  c.output_file = text_of(member(o, "output_file"), "output_file");
  c.cycle_output_file = text_of(member(o, "cycle_output_file"), "cycle_output_file");
  c.part_index = int_of(member(o, "part_index"), "part_index");
  c.cycle_part_index = int_of(member(o, "cycle_part_index"), "cycle_part_index");
  c.current_skill_name = optional_text(member(o, "current_skill_name"), "current_skill_name");
  c.cycle_indices = map_of<std::int64_t>(o, "cycle_indices", int_of);
  c.skill_total_cycles = map_of<std::int64_t>(o, "skill_total_cycles", int_of);
  c.cycle_episode_rewards = map_of<double>(o, "cycle_episode_rewards", double_of);
  c.cycle_episode_done = map_of<bool>(o, "cycle_episode_done", bool_of);
  c.cycle_metadata_written = bool_of(member(o, "cycle_metadata_written"), "cycle_metadata_written");
  c.last_cycle_average_reward = map_of<double>(o, "last_cycle_average_reward", double_of);
  c.last_cycle_steps_per_sec = map_of<json::Value>(
      o, "last_cycle_steps_per_sec", [](const json::Value &v, const char *) { return v; });
  c.obs_dim = optional_int(member(o, "obs_dim"), "obs_dim");
  c.act_dim = optional_int(member(o, "act_dim"), "act_dim");
  if (const json::Value &names = member(o, "obs_names"); !names.is_null()) {
    if (!names.is_array())
      bad("'obs_names' is not a list");
    c.obs_names.emplace();
    for (const json::Value &name : names.as_array())
      c.obs_names->push_back(text_of(name, "obs_names"));
  }
  c.warned_obs_name_mismatch =
      bool_of(member(o, "warned_obs_name_mismatch"), "warned_obs_name_mismatch");
  if (const json::Value &schema = member(o, "schema"); !schema.is_null()) {
    if (!schema.is_array())
      bad("'schema' is not a list");
    std::vector<parquet::Field> fields;
    for (const json::Value &field : schema.as_array()) {
      if (!field.is_array() || field.as_array().size() != 2)
        bad("a 'schema' field is not a [name, type] pair");
      fields.push_back({text_of(field.as_array()[0], "schema"),
                        type_named(text_of(field.as_array()[1], "schema"))});
    }
    c.schema.emplace(std::move(fields));
  }
  c.last_ids = map_of<std::string>(o, "last_ids", text_of);
  c.failed_ids = map_of<std::vector<std::string>>(
      o, "failed_ids", [](const json::Value &ids, const char *name) {
        if (!ids.is_array())
          bad(std::string("'") + name + "' holds a value that is not a list");
        std::vector<std::string> out;
        for (const json::Value &id : ids.as_array())
          out.push_back(text_of(id, name));
        return out;
      });
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
