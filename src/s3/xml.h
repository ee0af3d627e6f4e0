#pragma once

// The little XML that S3 answers with: the text of elements found by name. Enough for its
// listings and errors, whose elements carry no attributes that matter and never nest an
// element inside one of the same name.

#include <string>
#include <string_view>
#include <vector>

namespace s3::xml {

// The text of the first element <name> in xml, entities decoded; empty when there is none.
std::string first(std::string_view xml, std::string_view name);
// The raw content of every element <name> in xml, in order.
std::vector<std::string_view> all(std::string_view xml, std::string_view name);
// text with &, <, >, " and ' written as entities.
std::string escape(std::string_view text);

} // namespace s3::xml
