// Reading an INF file: sections, lines, fields, string substitution. Only the
// syntax is checked here; inf_install.cpp checks what the lines say.
#include <cctype>
#include <fstream>
#include <sstream>

#include <hosted/inf.h>

namespace hosted {

namespace {

std::string LowerAscii(std::string s)
{
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// INF files are often saved as UTF-16LE with a byte-order mark; everything
// else is read as UTF-8 (an optional mark dropped).
std::string ToUtf8(const std::string& raw)
{
    if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) return raw.substr(3);
    if (raw.size() < 2 || static_cast<unsigned char>(raw[0]) != 0xFF || static_cast<unsigned char>(raw[1]) != 0xFE)
        return raw;
    std::string out;
    for (size_t i = 2; i + 1 < raw.size(); i += 2) {
        uint32_t c = static_cast<unsigned char>(raw[i]) | static_cast<unsigned char>(raw[i + 1]) << 8;
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < raw.size()) {
            uint32_t lo = static_cast<unsigned char>(raw[i + 2]) | static_cast<unsigned char>(raw[i + 3]) << 8;
            c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18);
            out += char(0x80 | (c >> 12 & 0x3F));
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// One logical line split into key and fields. Quotes group text (commas,
// semicolons and '=' inside are literal; "" is a quote); ';' outside quotes
// starts a comment. Returns false on an unterminated quote.
bool SplitLine(const std::string& text, InfLine* line, bool* sawEquals)
{
    std::vector<std::string> parts;
    std::string cur;
    bool quoted = false, equals = false;
    std::string key;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    cur += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                cur += c;
            }
            continue;
        }
        if (c == '"') {
            // Blanks before an opening quote are not part of the field.
            if (Trim(cur).empty()) cur.clear();
            quoted = true;
        } else if (c == ';') {
            break;
        } else if (c == '=' && !equals && parts.empty()) {
            equals = true;
            key = Trim(cur);
            cur.clear();
        } else if (c == ',') {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (quoted) return false;
    parts.push_back(cur);
    for (auto& p : parts) p = Trim(p);
    if (parts.size() == 1 && parts[0].empty() && !equals) parts.clear();
    line->key = key;
    line->fields = std::move(parts);
    *sawEquals = equals;
    return true;
}

// Whether a physical line ends with the continuation mark: a backslash as
// its last character outside quotes and comments.
bool Continues(const std::string& text, std::string* body)
{
    bool quoted = false;
    size_t end = text.size();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') quoted = !quoted;
        if (!quoted && text[i] == ';') {
            end = i;
            break;
        }
    }
    std::string t = Trim(text.substr(0, end));
    if (!t.empty() && t.back() == '\\') {
        *body = t.substr(0, t.size() - 1);
        return true;
    }
    *body = text;
    return false;
}

}  // namespace

std::optional<Inf> Inf::Parse(const std::string& rawText, const std::string& name, std::string* error)
{
    Inf inf;
    inf.name_ = name;
    auto fail = [&](int line, const std::string& what) {
        if (error) *error = inf.Where(line) + ": " + what;
        return std::nullopt;
    };

    std::istringstream in(ToUtf8(rawText));
    std::string physical, logical;
    int number = 0, startLine = 0;
    bool continuing = false;
    InfSection* current = nullptr;
    while (std::getline(in, physical)) {
        ++number;
        if (!physical.empty() && physical.back() == '\r') physical.pop_back();
        std::string body;
        bool more = Continues(physical, &body);
        if (!continuing) {
            startLine = number;
            logical.clear();
        }
        logical += body;
        continuing = more;
        if (more) continue;

        std::string t = Trim(logical);
        if (t.empty() || t[0] == ';') continue;
        if (t[0] == '[') {
            size_t close = t.find(']');
            if (close == std::string::npos) return fail(startLine, "section header without ']'");
            std::string rest = Trim(t.substr(close + 1));
            if (!rest.empty() && rest[0] != ';') return fail(startLine, "text after the section header: " + rest);
            std::string section = Trim(t.substr(1, close - 1));
            if (section.empty()) return fail(startLine, "empty section name");
            current = nullptr;
            for (auto& s : inf.sections_)
                if (LowerAscii(s.name) == LowerAscii(section)) current = &s;
            if (!current) {
                inf.sections_.push_back({section, startLine, {}});
                current = &inf.sections_.back();
            }
            continue;
        }
        if (!current) return fail(startLine, "line outside any section");
        InfLine line;
        line.number = startLine;
        bool equals = false;
        if (!SplitLine(logical, &line, &equals)) return fail(startLine, "unterminated quoted string");
        if (line.fields.empty() && !equals) continue;  // only a comment
        if (equals && line.key.empty()) return fail(startLine, "'=' without a key");
        current->lines.push_back(std::move(line));
    }
    if (continuing) return fail(startLine, "line continuation at the end of the file");

    if (const InfSection* strings = inf.Section("Strings")) {
        for (auto& l : strings->lines) {
            if (l.key.empty() || l.fields.size() != 1)
                return fail(l.number, "a [Strings] line must be key = value");
            std::string k = LowerAscii(l.key);
            if (inf.strings_.count(k)) return fail(l.number, "string key '" + l.key + "' defined twice");
            inf.strings_[k] = l.fields[0];
        }
    }
    return inf;
}

std::optional<Inf> Inf::Load(const std::string& path, std::string* error)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        if (error) *error = path + ": cannot be read";
        return std::nullopt;
    }
    std::ostringstream text;
    text << f.rdbuf();
    std::string name = path;
    if (size_t slash = name.find_last_of("/\\"); slash != std::string::npos) name = name.substr(slash + 1);
    return Parse(text.str(), name, error);
}

const InfSection* Inf::Section(const std::string& name) const
{
    std::string want = LowerAscii(name);
    for (auto& s : sections_)
        if (LowerAscii(s.name) == want) return &s;
    return nullptr;
}

bool Inf::Expand(const std::string& field, int line, const std::map<int, std::string>& dirids, std::string* out,
                 std::string* error) const
{
    out->clear();
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            *out += field[i];
            continue;
        }
        size_t close = field.find('%', i + 1);
        if (close == std::string::npos) {
            if (error) *error = Where(line) + ": unmatched '%' in \"" + field + "\"";
            return false;
        }
        std::string token = field.substr(i + 1, close - i - 1);
        i = close;
        if (token.empty()) {
            *out += '%';
            continue;
        }
        bool digits = true;
        for (char c : token) digits = digits && std::isdigit(static_cast<unsigned char>(c));
        if (digits && token.size() <= 9) {
            auto d = dirids.find(std::stoi(token));
            if (d == dirids.end()) {
                if (error) *error = Where(line) + ": unknown directory ID %" + token + "%";
                return false;
            }
            *out += d->second;
            continue;
        }
        auto s = strings_.find(LowerAscii(token));
        if (s == strings_.end()) {
            if (error) *error = Where(line) + ": %" + token + "% is not in [Strings]";
            return false;
        }
        *out += s->second;
    }
    return true;
}

}  // namespace hosted
