#include "link/glovetables.hpp"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

using namespace glove;

TEST(SensorTable, SlotMapsCoverTheRightIndexes) {
    // 18-sensor gloves have no outer finger joints; neither map carries 7 or 23.
    std::set<int> eighteen(kSlotMap18.begin(), kSlotMap18.end());
    for (int missing : {6, 7, 10, 14, 18, 23}) {
        EXPECT_EQ(eighteen.count(missing), 0u) << missing;
    }
    EXPECT_EQ(std::count(kSlotMap18.begin(), kSlotMap18.end(), -1), 5);
    std::set<int> twentyTwo(kSlotMap22.begin(), kSlotMap22.end());
    EXPECT_EQ(twentyTwo.size(), 23u);  // 22 indexes + -1
    EXPECT_EQ(twentyTwo.count(7), 0u);
    EXPECT_EQ(twentyTwo.count(23), 0u);
    EXPECT_EQ(kSlotMap22[22], -1);
    EXPECT_EQ(kSlotMap18[6], 8);
    EXPECT_EQ(kSlotMap22[6], 6);
}

TEST(SensorTable, OnlyTwentyTwoSelectsTheLargeMap) {
    EXPECT_EQ(&slotMapFor(22), &kSlotMap22);
    for (int n : {0, 18, 21, 23, -1}) {
        EXPECT_EQ(&slotMapFor(n), &kSlotMap18) << n;
    }
}

TEST(SensorTable, CodeLookupComparesThreeCharacters) {
    EXPECT_EQ(sensorIndexFromCode("TR"), 0);
    EXPECT_EQ(sensorIndexFromCode("RMJ"), 12);
    EXPECT_EQ(sensorIndexFromCode("WAB"), 22);
    EXPECT_EQ(sensorIndexFromCode("IMA"), 11);
    EXPECT_EQ(sensorIndexFromCode("RMJX"), 12);  // only the first three count
    EXPECT_EQ(sensorIndexFromCode("TRX"), -1);   // the NUL of "TR" is compared
    EXPECT_EQ(sensorIndexFromCode("XYZ"), -1);
    EXPECT_EQ(sensorIndexFromCode(nullptr), -1);
    EXPECT_STREQ(sensorLongName(0), "Thumb roll");
    EXPECT_STREQ(sensorLongName(22), "Wrist abduction");
    EXPECT_STREQ(sensorShortCode(7), "");
    EXPECT_STREQ(sensorShortCode(23), "");
    EXPECT_STREQ(sensorShortCode(24), "");
}

TEST(HardwareBlock, EveryWireByteComesFromExactlyOneIndex) {
    std::array<uint8_t, kSensorIndexCount> offsets{};
    std::array<uint8_t, kSensorIndexCount> gains{};
    for (int i = 0; i < kSensorIndexCount; ++i) {
        offsets[i] = static_cast<uint8_t>(i + 1);
        gains[i] = static_cast<uint8_t>(101 + i);
    }
    const auto block = encodeHardwareBlock(offsets, gains);
    std::set<int> used;
    for (int p = 0; p < kHardwareSensorCount; ++p) {
        const int idx = block[p] - 1;
        ASSERT_GE(idx, 0);
        EXPECT_EQ(kHardwarePosition[idx], p);
        EXPECT_EQ(block[kHardwareSensorCount + p], 101 + idx);
        used.insert(idx);
    }
    EXPECT_EQ(used.size(), 18u);
    for (int unsent : {6, 7, 10, 14, 18, 23}) {
        EXPECT_EQ(used.count(unsent), 0u);
    }
    EXPECT_EQ(block[0], 1);    // index 0 at position 0
    EXPECT_EQ(block[6], 9);    // index 8 at position 6
    EXPECT_EQ(block[17], 23);  // index 22 at position 17
}

TEST(Battery, LevelsFollowTheThresholds) {
    EXPECT_EQ(batteryLevelFor(7400 / 1000.0f), 1);
    EXPECT_EQ(batteryLevelFor(7800 / 1000.0f), 2);
    EXPECT_EQ(batteryLevelFor(7799 / 1000.0f), 1);
    EXPECT_EQ(batteryLevelFor(6900 / 1000.0f), 1);
    EXPECT_EQ(batteryLevelFor(6899 / 1000.0f), 0);
    EXPECT_EQ(batteryLevelFor(0.001f), 0);
    EXPECT_EQ(batteryLevelFor(0.0f), 3);
    EXPECT_EQ(batteryLevelFor(-1.0f), 3);
    EXPECT_EQ(batteryLevelFor(std::nanf("")), 3);
}

TEST(FileNames, PathsOutOfTheFolderAreRefused) {
    EXPECT_TRUE(isSafeFileName("DATA0001.TXT"));
    EXPECT_TRUE(isSafeFileName("default.txt"));
    EXPECT_TRUE(isSafeFileName("a b.c"));
    EXPECT_FALSE(isSafeFileName(""));
    EXPECT_FALSE(isSafeFileName("."));
    EXPECT_FALSE(isSafeFileName(".."));
    EXPECT_FALSE(isSafeFileName("../x"));
    EXPECT_FALSE(isSafeFileName("a/b"));
    EXPECT_FALSE(isSafeFileName("/etc/passwd"));
    EXPECT_FALSE(isSafeFileName("..\\x"));
    EXPECT_FALSE(isSafeFileName(std::string_view("a\0b", 3)));
}

TEST(FileNames, ListSplitsAtCrLfAndStopsAtNul) {
    const char reply[] = "A.TXT\r\nB.TXT\r\n\r\nC.TXT\r\n\0junk";
    using Names = std::vector<std::string>;
    EXPECT_EQ(parseFileList(reply, sizeof reply - 1), Names({"A.TXT", "B.TXT", "C.TXT"}));
    EXPECT_TRUE(parseFileList("", 0).empty());
    EXPECT_TRUE(parseFileList(nullptr, 5).empty());
    // No NUL within the size: the size bounds the text.
    const char cut[] = {'X', '\r', '\n', 'Y'};
    EXPECT_EQ(parseFileList(cut, 4), Names({"X", "Y"}));
}

TEST(Swcal, LinesHaveTheFixedLayout) {
    EXPECT_EQ(formatSwcalLine({56, 0.01584}), "   56 0.01584\n");
    EXPECT_EQ(formatSwcalLine({151, 0.248}), "  151 0.24800\n");
    EXPECT_EQ(formatSwcalLine({53.55, 0.015751}), "   54 0.01575\n");
    EXPECT_EQ(formatSwcalLine({123456, 12.5}), "123456 12.50000\n");
    EXPECT_EQ(formatSwcalLine({-3, -0.5}), "   -3 -0.50000\n");
    // Any value a line can hold is written in full, so the file reads back.
    SensorCalibration back{};
    ASSERT_TRUE(parseSwcalLine(formatSwcalLine({5e101, -1e300}), &back));
    EXPECT_DOUBLE_EQ(back.offset, 5e101);
    EXPECT_DOUBLE_EQ(back.gain, -1e300);
}

TEST(Swcal, LinesParseLikeTwoPercentLf) {
    SensorCalibration c{1, 1};
    ASSERT_TRUE(parseSwcalLine("   56 0.01584", &c));
    EXPECT_DOUBLE_EQ(c.offset, 56);
    EXPECT_DOUBLE_EQ(c.gain, 0.01584);
    ASSERT_TRUE(parseSwcalLine("\t+7\t-1e-3 trailing", &c));
    EXPECT_DOUBLE_EQ(c.offset, 7);
    EXPECT_DOUBLE_EQ(c.gain, -0.001);
    c = {1, 2};
    EXPECT_FALSE(parseSwcalLine("56", &c));
    EXPECT_FALSE(parseSwcalLine("x 0.1", &c));
    EXPECT_FALSE(parseSwcalLine("", &c));
    EXPECT_DOUBLE_EQ(c.offset, 1);
    EXPECT_DOUBLE_EQ(c.gain, 2);
}

TEST(Swcal, RoundTripRoundsOffsetsAndGains) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.filePath("cal.swcal").toStdString();
    CalibrationTable table = kDefaultCalibration;
    table[3] = {12.6, 0.0123456};
    table[23] = {-4.4, 0.000004};
    ASSERT_TRUE(writeSwcalFile(path, table));

    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 24);
    EXPECT_EQ(s.substr(0, 14), "   56 0.01584\n");

    CalibrationTable back{};
    ASSERT_TRUE(readSwcalFile(path, &back));
    for (int i = 0; i < kSensorIndexCount; ++i) {
        EXPECT_DOUBLE_EQ(back[i].offset, std::round(table[i].offset)) << i;
        EXPECT_NEAR(back[i].gain, table[i].gain, 0.5e-5 + 1e-12) << i;
    }
    EXPECT_DOUBLE_EQ(back[3].offset, 13);
    EXPECT_DOUBLE_EQ(back[3].gain, 0.01235);
    EXPECT_DOUBLE_EQ(back[23].offset, -4);
}

TEST(Swcal, ShortOrBrokenFilesKeepWhatTheyDoNotSet) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("short.swcal").toStdString();
    {
        std::ofstream out(path);
        out << "   10 0.10000\nnot a number\n   30 0.30000\n";
    }
    CalibrationTable table = kDefaultCalibration;
    ASSERT_TRUE(readSwcalFile(path, &table));
    EXPECT_DOUBLE_EQ(table[0].offset, 10);
    EXPECT_DOUBLE_EQ(table[1].offset, kDefaultCalibration[1].offset);
    EXPECT_DOUBLE_EQ(table[2].gain, 0.3);
    EXPECT_DOUBLE_EQ(table[3].offset, kDefaultCalibration[3].offset);
    EXPECT_FALSE(readSwcalFile(dir.filePath("missing.swcal").toStdString(), &table));
    EXPECT_FALSE(writeSwcalFile(dir.filePath("no/such/dir.swcal").toStdString(), table));
}

// A decimal-comma locale must not change the file: it is built from the system's locale
// sources when they are installed.
TEST(Swcal, DecimalPointWhateverTheLocale) {
    QTemporaryDir dir;
    const QString locales = dir.filePath("locales");
    ASSERT_TRUE(QDir().mkpath(locales));
    const std::string cmd =
        "localedef -i de_DE -f UTF-8 '" + locales.toStdString() + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) {
        GTEST_SKIP() << "no de_DE locale source to build a decimal-comma locale from";
    }
    const char* oldPath = std::getenv("LOCPATH");
    const std::string saved = oldPath != nullptr ? oldPath : "";
    setenv("LOCPATH", locales.toLocal8Bit().constData(), 1);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    EXPECT_STREQ(probe, "0,5");  // the locale is really in force

    const std::string path = dir.filePath("de.swcal").toStdString();
    EXPECT_TRUE(writeSwcalFile(path, kDefaultCalibration));
    CalibrationTable back{};
    EXPECT_TRUE(readSwcalFile(path, &back));
    std::setlocale(LC_NUMERIC, "C");
    if (oldPath != nullptr) {
        setenv("LOCPATH", saved.c_str(), 1);
    } else {
        unsetenv("LOCPATH");
    }
    std::ifstream in(path);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "   56 0.01584");
    EXPECT_DOUBLE_EQ(back[11].gain, 0.248);
    EXPECT_DOUBLE_EQ(back[15].offset, 162);
}
