// json.h: reads the daemon's control-socket answers, one JSON document each.
//
// Enough JSON for what the daemon writes: objects, arrays, strings with \" \\ and \u00XX escapes (the
// daemon writes every byte outside printable ASCII as \u00XX, Latin-1), integers, true, false, null.
// Each value keeps its exact source text, so kstctl can pass parts of an answer on unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kstctl {

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind                     kind = Kind::Null;  // what it is
    std::string_view         raw;                // its source text, within the answer
    std::string              text;               // String: the bytes it stands for
    std::vector<JsonValue>   items;              // Array: the elements in order; Object: the members' values in order
    std::vector<std::string> names;              // Object: the members' names, in the order of items

    // The member of that name; a null value when there is none.
    [[nodiscard]] const JsonValue &operator[](std::string_view name) const;
    [[nodiscard]] bool             IsNull() const { return kind == Kind::Null; }
    // A Number as a signed integer, a String "0x..." as a word, true as 1; 0 otherwise.
    [[nodiscard]] int64_t  Int() const;
    [[nodiscard]] uint64_t Word() const;
};

// The document in text, or nullopt when text is not one JSON value (trailing blanks allowed).
std::optional<JsonValue> ParseJson(std::string_view text);

}  // namespace kstctl
