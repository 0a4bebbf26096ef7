#include "take.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <istream>
#include <ostream>
#include <sstream>

#include "link/glovetables.hpp"

namespace take {

namespace {

constexpr const char* kMagic = "# manuvia take 1";
constexpr int kTimeColumns = 8;  // host_s, glove_s, five fields, gap_s
constexpr int kColumnCount = kTimeColumns + 2 * kValues;
// A row holds 56 numbers; anything far longer is not a take row and is not buffered whole.
constexpr std::size_t kMaxLine = 4096;
constexpr double kStampResolution = 1.0 / 30.0;  // seconds

std::string sensorName(int index) {
    const char* code = glove::sensorShortCode(index);
    return *code ? code : "n" + std::to_string(index);
}

void number(std::ostream& out, double v) {
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, v + 0.0);
    out.write(buf, r.ptr - buf);
}

double parseNumber(std::string_view text, long line, int column) {
    double v = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size() ||
        !std::isfinite(v))
        throw TakeError("line " + std::to_string(line) + ", column " + std::to_string(column + 1) +
                        ": '" + std::string(text) + "' is not a number");
    return v;
}

bool getLine(std::istream& in, std::string& line, long number) {
    line.clear();
    char c;
    while (in.get(c)) {
        if (c == '\n')
            break;
        if (line.size() >= kMaxLine)
            throw TakeError("line " + std::to_string(number) + " is too long for a take");
        line += c;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return !(line.empty() && !in);
}

}  // namespace

std::string columnLine() {
    std::string s = "host_s,glove_s,hh,mm,ss,f4,f5,gap_s";
    for (int i = 0; i < kValues; ++i)
        s += ",raw_" + sensorName(i);
    for (int i = 0; i < kValues; ++i)
        s += "," + sensorName(i);
    return s;
}

double gloveSeconds(const int time[5]) {
    return time[0] * 3600.0 + time[1] * 60.0 + time[2] + time[4] / 30.0;
}

Recorder::Recorder(std::ostream& out, bool rightHand, double period) : m_out(out) {
    m_take.rightHand = rightHand;
    m_take.period = period > 0 ? period : 1.0 / 30.0;
    m_out << kMagic << "\n# hand=" << (rightHand ? "right" : "left") << " period=";
    number(m_out, m_take.period);
    m_out << "\n" << columnLine() << "\n";
}

void Recorder::add(double hostSeconds, const int time[5], const std::int32_t raw[kValues],
                   const double angles[kValues]) {
    Frame f;
    f.hostSeconds = hostSeconds;
    std::copy(time, time + 5, f.time);
    f.gloveSeconds = gloveSeconds(time);
    if (m_frames > 0) {
        double step = f.gloveSeconds - m_lastGlove;
        if (step < -43200.0)
            step += 86400.0;  // past midnight
        // The stamp counts whole 1/30 s, so at 30 Hz a step of two counts is rounding as often
        // as a lost frame: a hole must exceed a period by more than one count.
        if (step > std::max(1.5 * m_take.period, m_take.period + kStampResolution) + 1e-6)
            f.gapSeconds = step;
        if (m_lost)
            f.gapSeconds = std::max({f.gapSeconds, hostSeconds - m_lastHost, m_take.period});
    }
    m_lost = false;
    if (f.gapSeconds > 0)
        ++m_gaps;
    std::copy(raw, raw + kValues, f.raw.begin());
    std::copy(angles, angles + kValues, f.angles.begin());

    number(m_out, f.hostSeconds);
    m_out << ',';
    number(m_out, f.gloveSeconds);
    for (int v : f.time)
        m_out << ',' << v;
    m_out << ',';
    number(m_out, f.gapSeconds);
    for (std::int32_t v : f.raw)
        m_out << ',' << v;
    for (double v : f.angles) {
        m_out << ',';
        number(m_out, v);
    }
    m_out << '\n';
    m_out.flush();

    m_lastGlove = f.gloveSeconds;
    m_lastHost = hostSeconds;
    ++m_frames;
    if (m_keep)
        m_take.frames.push_back(f);
}

void Recorder::finish(double hostSeconds) {
    const double since = m_frames > 0 ? hostSeconds - m_lastHost : hostSeconds;
    if (m_lost || since > 1.5 * m_take.period + kHostSlack) {
        m_out << "# gap ";
        number(m_out, since);
        m_out << '\n';
        m_take.endGapSeconds = since;
        ++m_gaps;
    }
    m_lost = false;
    m_out.flush();
}

Take readTake(std::istream& in, long maxFrames) {
    Take t;
    std::string line;
    long number = 0;
    bool magic = false, header = false;
    while (getLine(in, line, number + 1)) {
        ++number;
        if (line.empty())
            continue;
        if (line[0] == '#') {
            if (number == 1 && line == kMagic)
                magic = true;
            if (line.rfind("# gap ", 0) == 0)
                t.endGapSeconds = parseNumber(std::string_view(line).substr(6), number, 0);
            if (line.rfind("# hand=", 0) == 0) {
                t.rightHand = line.find("hand=left") == std::string::npos;
                auto at = line.find("period=");
                if (at != std::string::npos)
                    t.period = parseNumber(std::string_view(line).substr(at + 7), number, 0);
                if (!(t.period > 0))
                    throw TakeError("line " + std::to_string(number) + ": period must be positive");
            }
            continue;
        }
        if (!magic)
            throw TakeError("not a take file: line 1 must be '" + std::string(kMagic) + "'");
        if (!header) {
            if (line != columnLine())
                throw TakeError("line " + std::to_string(number) +
                                ": the column names are not those of a take");
            header = true;
            continue;
        }
        if (static_cast<long>(t.frames.size()) >= maxFrames)
            throw TakeError("the take has more than " + std::to_string(maxFrames) + " frames");
        Frame f;
        std::string_view rest(line);
        for (int c = 0; c < kColumnCount; ++c) {
            auto comma = rest.find(',');
            if ((comma == std::string_view::npos) != (c == kColumnCount - 1))
                throw TakeError("line " + std::to_string(number) + ": expected " +
                                std::to_string(kColumnCount) + " columns");
            std::string_view cell = rest.substr(0, comma);
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            double v = parseNumber(cell, number, c);
            if (c == 0)
                f.hostSeconds = v;
            else if (c == 1)
                f.gloveSeconds = v;
            else if (c < 7)
                f.time[c - 2] = static_cast<int>(v);
            else if (c == 7)
                f.gapSeconds = v;
            else if (c < kTimeColumns + kValues)
                f.raw[static_cast<std::size_t>(c - kTimeColumns)] = static_cast<std::int32_t>(v);
            else
                f.angles[static_cast<std::size_t>(c - kTimeColumns - kValues)] = v;
        }
        t.frames.push_back(f);
    }
    if (!magic)
        throw TakeError("not a take file: line 1 must be '" + std::string(kMagic) + "'");
    if (!header)
        throw TakeError("the take has no column line");
    return t;
}

Take readTakeFile(const std::string& path, long maxFrames) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw TakeError("cannot open take '" + path + "'");
    try {
        return readTake(in, maxFrames);
    } catch (const TakeError& e) {
        throw TakeError(path + ": " + e.what());
    }
}

}  // namespace take

namespace take {

BvhSummary readBvh(std::istream& in) {
    BvhSummary b;
    std::string word;
    if (!(in >> word) || word != "HIERARCHY")
        throw TakeError("not BVH: no HIERARCHY");
    while (in >> word && word != "MOTION") {
        if (word == "ROOT" || word == "JOINT") {
            if (!(in >> word))
                throw TakeError("BVH: a joint without a name");
            b.joints.push_back(word);
        } else if (word == "CHANNELS") {
            int n = -1;
            if (!(in >> n) || n < 0 || n > 6 || b.channels.size() + 1 != b.joints.size())
                throw TakeError("BVH: bad CHANNELS line");
            b.channels.push_back(n);
            for (int k = 0; k < n; ++k)
                in >> word;
        }
    }
    if (word != "MOTION" || !(in >> word) || word != "Frames:" || !(in >> b.framesDeclared) ||
        !(in >> word) || word != "Frame" || !(in >> word) || word != "Time:" ||
        !(in >> b.frameTime))
        throw TakeError("BVH: no MOTION section");
    long values = 0;
    for (int c : b.channels)
        values += c;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream row(line);
        long count = 0;
        double v;
        while (row >> v)
            ++count;
        if (count == 0 && line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        if (count != values || !row.eof())
            throw TakeError("BVH: frame " + std::to_string(b.frameLines + 1) + " has " +
                            std::to_string(count) + " values, not " + std::to_string(values));
        ++b.frameLines;
    }
    return b;
}

}  // namespace take
