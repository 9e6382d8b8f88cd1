// json.cpp: a small recursive reader for the daemon's answers (json.h).
#include "tools/kstctl/json.h"

#include <cctype>
#include <charconv>

namespace kstctl {
namespace {

constexpr int kMaxDepth = 16;  // the daemon's answers nest three deep

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool Value(JsonValue &out, int depth)
    {
        Blanks();
        const std::size_t start = pos_;
        if (depth > kMaxDepth || pos_ >= text_.size()) return false;
        bool ok = false;
        switch (text_[pos_]) {
        case '{':
            ok = Object(out, depth);
            break;
        case '[':
            ok = Array(out, depth);
            break;
        case '"':
            out.kind = JsonValue::Kind::String;
            ok = String(out.text);
            break;
        default:
            ok = Scalar(out);
        }
        out.raw = text_.substr(start, pos_ - start);
        return ok;
    }
    bool AtEnd()
    {
        Blanks();
        return pos_ == text_.size();
    }

private:
    void Blanks()
    {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
            ++pos_;
    }
    bool Take(char c)
    {
        Blanks();
        if (pos_ >= text_.size() || text_[pos_] != c) return false;
        ++pos_;
        return true;
    }
    bool Object(JsonValue &out, int depth)
    {
        out.kind = JsonValue::Kind::Object;
        ++pos_;
        if (Take('}')) return true;
        do {
            out.names.emplace_back();
            out.items.emplace_back();
            Blanks();
            if (!String(out.names.back()) || !Take(':') || !Value(out.items.back(), depth + 1)) return false;
        } while (Take(','));
        return Take('}');
    }
    bool Array(JsonValue &out, int depth)
    {
        out.kind = JsonValue::Kind::Array;
        ++pos_;
        if (Take(']')) return true;
        do {
            out.items.emplace_back();
            if (!Value(out.items.back(), depth + 1)) return false;
        } while (Take(','));
        return Take(']');
    }
    bool String(std::string &out)
    {
        if (pos_ >= text_.size() || text_[pos_] != '"') return false;
        for (++pos_; pos_ < text_.size(); ++pos_) {
            const char c = text_[pos_];
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (++pos_ >= text_.size()) return false;
            const char e = text_[pos_];
            if (e == '"' || e == '\\' || e == '/') {
                out += e;
            } else if (e == 'u' && pos_ + 4 < text_.size()) {
                unsigned   code = 0;
                const auto r = std::from_chars(text_.data() + pos_ + 1, text_.data() + pos_ + 5, code, 16);
                if (r.ptr != text_.data() + pos_ + 5 || code > 0xff) return false;  // the daemon writes bytes only
                out += static_cast<char>(code);
                pos_ += 4;
            } else {
                return false;
            }
        }
        return false;
    }
    bool Scalar(JsonValue &out)
    {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '-'))
            ++pos_;
        const std::string_view word = text_.substr(start, pos_ - start);
        if (word == "null") return true;
        if (word == "true" || word == "false") {
            out.kind = JsonValue::Kind::Bool;
            return true;
        }
        int64_t    number = 0;
        const auto r = std::from_chars(word.data(), word.data() + word.size(), number);
        out.kind = JsonValue::Kind::Number;
        return !word.empty() && r.ec == std::errc{} && r.ptr == word.data() + word.size();
    }

    std::string_view text_;     // the whole document
    std::size_t      pos_ = 0;  // next byte to read
};

}  // namespace

const JsonValue &JsonValue::operator[](std::string_view name) const
{
    static const JsonValue none;
    for (std::size_t i = 0; kind == Kind::Object && i < names.size(); ++i)
        if (names[i] == name) return items[i];
    return none;
}

int64_t JsonValue::Int() const
{
    int64_t number = 0;
    if (kind == Kind::Number) std::from_chars(raw.data(), raw.data() + raw.size(), number);
    return kind == Kind::Bool ? raw == "true" : number;
}

uint64_t JsonValue::Word() const
{
    uint64_t word = 0;
    if (kind == Kind::String && text.starts_with("0x"))
        std::from_chars(text.data() + 2, text.data() + text.size(), word, 16);
    return word;
}

std::optional<JsonValue> ParseJson(std::string_view text)
{
    Reader    reader(text);
    JsonValue value;
    if (!reader.Value(value, 0) || !reader.AtEnd()) return std::nullopt;
    return value;
}

}  // namespace kstctl
