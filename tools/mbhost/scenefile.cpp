#include "scenefile.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>

namespace mbhost {

namespace {

constexpr std::string_view kMagic = "ManuviaScene: 1";

bool nameChar(char c, bool first) {
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return letter || (!first && ((c >= '0' && c <= '9') || c == '_'));
}

bool validName(std::string_view name) {
    if (name.empty() || name.size() > 64)
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (!nameChar(name[i], i == 0))
            return false;
    return true;
}

void writeValue(std::string& out, const SceneValue& value) {
    if (const int* i = std::get_if<int>(&value)) {
        out += std::to_string(*i);
    } else if (const double* d = std::get_if<double>(&value)) {
        if (!std::isfinite(*d))
            throw SceneError("a scene real must be finite");
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof buf, *d, std::chars_format::scientific);
        out.append(buf, r.ptr);
    } else {
        const std::string& text = std::get<std::string>(value);
        if (text.size() > kMaxSceneText)
            throw SceneError("a scene text is longer than " + std::to_string(kMaxSceneText));
        out += '"';
        for (char c : text) {
            if (c == '"' || c == '\\')
                out += '\\';
            if (c == '\n')
                out += "\\n";
            else
                out += c;
        }
        out += '"';
    }
}

class Reader {
  public:
    Reader(std::string_view line, int number) : m_line(line), m_number(number) {}

    [[noreturn]] void fail(const std::string& what) const {
        throw SceneError("line " + std::to_string(m_number) + ": " + what);
    }
    bool atEnd() const { return m_at >= m_line.size(); }
    char peek() const { return atEnd() ? '\0' : m_line[m_at]; }
    void blanks() {
        while (!atEnd() && (peek() == ' ' || peek() == '\t'))
            ++m_at;
    }

    SceneField field() {
        SceneField f;
        std::size_t start = m_at;
        while (!atEnd() && nameChar(peek(), m_at == start))
            ++m_at;
        f.name = std::string(m_line.substr(start, m_at - start));
        if (!validName(f.name) || peek() != ':')
            fail("expected a field name and ':'");
        ++m_at;
        blanks();
        while (!atEnd()) {
            if (f.values.size() == kMaxSceneValues)
                fail("more than " + std::to_string(kMaxSceneValues) + " values");
            f.values.push_back(value());
            blanks();
            if (atEnd())
                break;
            if (peek() != ',')
                fail("expected ',' between values");
            ++m_at;
            blanks();
            if (atEnd())
                fail("a value is missing after ','");
        }
        return f;
    }

  private:
    SceneValue value() {
        if (peek() == '"')
            return text();
        std::size_t start = m_at;
        while (!atEnd() && peek() != ',' && peek() != ' ' && peek() != '\t')
            ++m_at;
        std::string_view word = m_line.substr(start, m_at - start);
        const char* first = word.data();
        const char* last = word.data() + word.size();
        if (word.find_first_of(".eE") == std::string_view::npos) {
            int i = 0;
            auto r = std::from_chars(first, last, i);
            if (r.ec == std::errc() && r.ptr == last)
                return i;
            fail("'" + std::string(word) + "' is not an integer in range");
        }
        double d = 0.0;
        auto r = std::from_chars(first, last, d);
        if (r.ec == std::errc() && r.ptr == last && std::isfinite(d))
            return d;
        fail("'" + std::string(word) + "' is not a finite real");
    }

    std::string text() {
        ++m_at;  // opening quote
        std::string out;
        while (true) {
            if (atEnd())
                fail("a text is not closed with '\"'");
            char c = m_line[m_at++];
            if (c == '"')
                return out;
            if (c == '\\') {
                if (atEnd())
                    fail("a text is not closed with '\"'");
                char e = m_line[m_at++];
                if (e == 'n')
                    c = '\n';
                else if (e == '"' || e == '\\')
                    c = e;
                else
                    fail(std::string("unknown escape '\\") + e + "'");
            }
            if (out.size() == kMaxSceneText)
                fail("a text is longer than " + std::to_string(kMaxSceneText) + " bytes");
            out += c;
        }
    }

    std::string_view m_line;
    int m_number;
    std::size_t m_at = 0;
};

}  // namespace

std::string writeScene(const std::vector<SceneField>& fields) {
    if (fields.size() > kMaxSceneFields)
        throw SceneError("a scene holds at most " + std::to_string(kMaxSceneFields) + " fields");
    std::string out(kMagic);
    out += '\n';
    for (const SceneField& f : fields) {
        if (!validName(f.name))
            throw SceneError("'" + f.name + "' is not a scene field name");
        if (f.values.size() > kMaxSceneValues)
            throw SceneError("field " + f.name + " holds too many values");
        out += f.name + ':';
        for (std::size_t i = 0; i < f.values.size(); ++i) {
            out += i ? ", " : " ";
            writeValue(out, f.values[i]);
        }
        out += '\n';
    }
    return out;
}

std::vector<SceneField> readScene(std::string_view text) {
    if (text.size() > kMaxSceneBytes)
        throw SceneError("larger than " + std::to_string(kMaxSceneBytes) + " bytes");
    std::vector<SceneField> fields;
    int number = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            throw SceneError("line " + std::to_string(number + 1) +
                             ": truncated (the last line has no end)");
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (number == 1) {
            if (line != kMagic)
                throw SceneError("line 1: not a scene file (expected '" + std::string(kMagic) +
                                 "')");
            continue;
        }
        if (line.find('\0') != std::string_view::npos)
            throw SceneError("line " + std::to_string(number) + ": holds a NUL byte");
        if (line.empty())
            continue;
        if (fields.size() == kMaxSceneFields)
            throw SceneError("more than " + std::to_string(kMaxSceneFields) + " fields");
        fields.push_back(Reader(line, number).field());
    }
    if (number == 0)
        throw SceneError("empty file, not a scene");
    return fields;
}

void saveSceneFile(const std::string& path, const std::vector<SceneField>& fields) {
    std::string text = writeScene(fields);
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out)
            throw SceneError("cannot write scene file '" + temp + "'");
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        throw SceneError("cannot write scene file '" + path + "'");
    }
}

std::vector<SceneField> loadSceneFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw SceneError("cannot open scene file '" + path + "'");
    std::string text;
    char buf[4096];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxSceneBytes)
            throw SceneError("scene file '" + path + "': larger than " +
                             std::to_string(kMaxSceneBytes) + " bytes");
    }
    try {
        return readScene(text);
    } catch (const SceneError& e) {
        throw SceneError("scene file '" + path + "': " + e.what());
    }
}

}  // namespace mbhost
