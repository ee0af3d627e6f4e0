#pragma once

// The checkpoint of a durable run: everything the processor needs to go on after a crash, and
// per stream the id of the last entry whose effects it holds. It is a small JSON file in the
// output directory, replaced atomically (temporary file, fsync, rename, fsync of the
// directory) at every flush, so that a crash leaves either the old or the new one.
//
// Its members are written by the parts that own the state, each its own share (save), and read
// back by them (restore); this file knows only the envelope (a version) and the value shapes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "networking/remote_historian/v2/ordered_map.h"
#include "parquet/schema.h"
#include "json/value.h"

namespace networking::remote_historian::v2 {

// The members of a checkpoint, in the order the parts wrote them.
using Checkpoint = json::Object;

// The checkpoint's JSON text, and back. _parse_checkpoint throws std::runtime_error naming
// what is wrong with a text it cannot take.
std::string _checkpoint_text(const Checkpoint &checkpoint);
Checkpoint _parse_checkpoint(std::string_view text);

// Replaces the file at path with checkpoint, atomically and durably. Throws on failure, leaving
// the previous file in place.
void _write_checkpoint(const std::string &path, const Checkpoint &checkpoint);
// The checkpoint at path; none when there is no file. Throws when it cannot be read or parsed.
std::optional<Checkpoint> _load_checkpoint(const std::string &path);

// Whether entry id a comes after b in a stream ("<ms>-<seq>", compared as numbers).
bool _entry_id_after(std::string_view a, std::string_view b);

// The value shapes of a share, written and read. Every reader throws std::runtime_error
// ("checkpoint: ...") naming the member that is missing or of the wrong shape.
namespace checkpoint {

json::Value text_or_null(const std::optional<std::string> &text);
json::Value int_or_null(const std::optional<std::int64_t> &n);
json::Value texts_or_null(const std::optional<std::vector<std::string>> &texts);
json::Value schema_or_null(const std::optional<parquet::Schema> &schema);
template <typename T> json::Value map_value(const OrderedMap<T> &map) {
  json::Object object;
  for (const auto &[key, value] : map)
    object.insert(key, json::Value(value));
  return json::Value(std::move(object));
}
json::Value id_lists(const OrderedMap<std::vector<std::string>> &lists);

[[noreturn]] void bad(const std::string &what);
const json::Value &member(const Checkpoint &c, const char *name);
std::string text_of(const json::Value &v, const char *name);
std::int64_t int_of(const json::Value &v, const char *name);
bool bool_of(const json::Value &v, const char *name);
double double_of(const json::Value &v, const char *name);
json::Value any_of(const json::Value &v, const char *name);
std::optional<std::string> optional_text(const json::Value &v, const char *name);
std::optional<std::int64_t> optional_int(const json::Value &v, const char *name);
std::optional<std::vector<std::string>> optional_texts(const json::Value &v, const char *name);
std::optional<parquet::Schema> optional_schema(const json::Value &v, const char *name);
std::vector<std::string> id_list(const json::Value &v, const char *name);
// The member `name` of c, an object, as a map of read(value, name).
template <typename T, typename Read>
OrderedMap<T> map_of(const Checkpoint &c, const char *name, Read read) {
  const json::Value &v = member(c, name);
  if (!v.is_object())
    bad(std::string("'") + name + "' is not an object");
  OrderedMap<T> map;
  for (const auto &[key, value] : v.as_object())
    map.set(key, read(value, name));
  return map;
}

} // namespace checkpoint

} // namespace networking::remote_historian::v2
