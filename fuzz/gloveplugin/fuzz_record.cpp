// Stream bytes, cut into NUL-terminated records as the glove's input stream does, through
// every record decoder and the joint maths. With the default calibration every value must
// stay finite, whatever the bytes.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "glove/glovecodec.hpp"

using namespace gloved;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    uint32_t mask = (data[0] | data[1] << 8 | data[2] << 16) & 0x00ffffffu;
    data += 3;
    size -= 3;
    Calibration cal;
    defaultCalibration(cal);
    Thumb thumb;
    resetThumb(thumb);
    deriveThumbBase(thumb, (mask & 1u) != 0);
    uint8_t raw[kSensors] = {};
    double values[kSensors] = {};
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && data[end] != 0) {
            ++end;
        }
        // A record counts its NUL; the last one may come without.
        int len = static_cast<int>(end - start + (end < size ? 1 : 0));
        const uint8_t* rec = data + start;
        if (len > kRecordMax) {
            start = end + 1;
            continue;
        }
        Params p;
        parseParamReply(rec, len, p);
        uint32_t m;
        parseMaskReply(rec, len, m);
        int sn;
        parseSerialNumber(rec, len, sn);
        isAwaitedReply(rec, len, 'p' | 0x80);
        isAwaitedReply(rec, len, rec[0]);
        SensorStatus s = decodeSensorRecord(rec, len, mask, raw);
        if (s.complete) {
            computeJointValues(raw, cal, mask, (mask & 2u) != 0, thumb, values, values);
            for (double v : values) {
                if (!std::isfinite(v)) {
                    std::abort();
                }
            }
        }
        start = end + 1;
    }
    return 0;
}
