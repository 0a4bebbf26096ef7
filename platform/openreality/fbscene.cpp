// The scene file: objects' stored fields as text, read strictly (the file is untrusted).

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "fbsdk/fbhost.h"

namespace FBHost {
namespace {

constexpr const char* kMagic = "manuvia-scene 1";
constexpr std::size_t kMaxText = 4096;
constexpr std::size_t kMaxCount = 10000;
constexpr std::size_t kMaxFile = 16u << 20;

std::string quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

// Tokens of one line: bare words and quoted strings.
class Line {
  public:
    Line(const std::string& text, int number) : m_text(text), m_number(number) {}

    [[noreturn]] void fail(const std::string& what) const {
        throw SceneError("scene line " + std::to_string(m_number) + ": " + what);
    }
    bool atEnd() {
        skipSpace();
        return m_at >= m_text.size();
    }
    std::string word() {
        skipSpace();
        std::size_t start = m_at;
        while (m_at < m_text.size() && m_text[m_at] != ' ' && m_text[m_at] != '\t')
            ++m_at;
        if (start == m_at)
            fail("a word is missing");
        return m_text.substr(start, m_at - start);
    }
    std::string quoted() {
        skipSpace();
        if (m_at >= m_text.size() || m_text[m_at] != '"')
            fail("a quoted text is missing");
        ++m_at;
        std::string out;
        while (true) {
            if (m_at >= m_text.size())
                fail("a quoted text is not closed");
            char c = m_text[m_at++];
            if (c == '"')
                break;
            if (c == '\\') {
                if (m_at >= m_text.size())
                    fail("a quoted text is not closed");
                char e = m_text[m_at++];
                switch (e) {
                    case '"':
                        c = '"';
                        break;
                    case '\\':
                        c = '\\';
                        break;
                    case 'n':
                        c = '\n';
                        break;
                    case 't':
                        c = '\t';
                        break;
                    default:
                        fail(std::string("unknown escape \\") + e);
                }
            } else if (static_cast<unsigned char>(c) < 0x20) {
                fail("a control character inside a quoted text");
            }
            out += c;
            if (out.size() > kMaxText)
                fail("a text longer than " + std::to_string(kMaxText) + " bytes");
        }
        if (m_at < m_text.size() && m_text[m_at] != ' ' && m_text[m_at] != '\t')
            fail("no space after a quoted text");
        return out;
    }
    int integer() {
        std::string w = word();
        errno = 0;
        char* end = nullptr;
        long v = std::strtol(w.c_str(), &end, 10);
        if (w.empty() || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX ||
            w.find_first_not_of("-0123456789") != std::string::npos)
            fail("'" + w + "' is not an integer");
        return static_cast<int>(v);
    }

  private:
    void skipSpace() {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t'))
            ++m_at;
    }
    const std::string& m_text;
    int m_number;
    std::size_t m_at = 0;
};

}  // namespace

std::string writeScene(const std::vector<SceneObject>& objects) {
    std::string out = std::string(kMagic) + "\n";
    for (const SceneObject& o : objects) {
        out += "object " + quote(o.className) + " " + quote(o.name) + "\n";
        for (const FBFbxField& f : o.fields.Fields) {
            out += "field " + quote(f.name);
            for (const FBFbxValue& v : f.values) {
                if (auto* i = std::get_if<int>(&v))
                    out += " int " + std::to_string(*i);
                else
                    out += " string " + quote(std::get<std::string>(v));
            }
            out += "\n";
        }
        out += "end\n";
    }
    return out;
}

std::vector<SceneObject> readScene(const std::string& text) {
    if (text.size() > kMaxFile)
        throw SceneError("scene larger than " + std::to_string(kMaxFile) + " bytes");
    std::vector<SceneObject> objects;
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    bool inObject = false;
    bool sawMagic = false;
    std::size_t fields = 0, values = 0;
    while (std::getline(in, raw)) {
        ++number;
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        Line line(raw, number);
        if (!sawMagic) {
            if (raw != kMagic)
                line.fail("not a scene file (expected '" + std::string(kMagic) + "')");
            sawMagic = true;
            continue;
        }
        if (line.atEnd())
            continue;
        std::string keyword = line.word();
        if (keyword == "object") {
            if (inObject)
                line.fail("'object' inside an object (missing 'end')");
            if (objects.size() >= kMaxCount)
                line.fail("too many objects");
            SceneObject o;
            o.className = line.quoted();
            o.name = line.quoted();
            objects.push_back(std::move(o));
            inObject = true;
        } else if (keyword == "field") {
            if (!inObject)
                line.fail("'field' outside an object");
            if (++fields > kMaxCount)
                line.fail("too many fields");
            FBFbxField field;
            field.name = line.quoted();
            while (!line.atEnd()) {
                if (++values > kMaxCount)
                    line.fail("too many values");
                std::string kind = line.word();
                if (kind == "int")
                    field.values.emplace_back(line.integer());
                else if (kind == "string")
                    field.values.emplace_back(line.quoted());
                else
                    line.fail("unknown value kind '" + kind + "'");
            }
            objects.back().fields.Fields.push_back(std::move(field));
            continue;
        } else if (keyword == "end") {
            if (!inObject)
                line.fail("'end' outside an object");
            inObject = false;
        } else {
            line.fail("unknown keyword '" + keyword + "'");
        }
        if (!line.atEnd())
            line.fail("unexpected text after '" + keyword + "'");
    }
    if (!sawMagic)
        throw SceneError("scene is empty");
    if (inObject)
        throw SceneError("scene ends inside object '" + objects.back().name + "' (truncated)");
    return objects;
}

void saveScene(const std::string& path, const std::vector<SceneObject>& objects) {
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << writeScene(objects);
        out.flush();
        if (!out)
            throw SceneError("cannot write scene file " + temp);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        throw SceneError("cannot replace scene file " + path);
    }
}

std::vector<SceneObject> loadScene(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw SceneError("cannot open scene file " + path);
    std::string text(kMaxFile + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxFile)
        throw SceneError("scene file " + path + " is larger than " + std::to_string(kMaxFile) +
                         " bytes");
    try {
        return readScene(text);
    } catch (const SceneError& e) {
        throw SceneError(path + ": " + e.what());
    }
}

}  // namespace FBHost
