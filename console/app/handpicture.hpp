#pragma once
// Geometry of the hand picture behind the joint buttons of the calibration page. The build
// draws the picture from these spots and the window places one button on each, so the two
// always agree. Pixel coordinates in the picture, y downwards; a right hand seen from the back.

namespace palmdesk {

inline constexpr int kHandPictureWidth = 320;
inline constexpr int kHandPictureHeight = 400;

// A joint button's centre, by the sensor's short code.
struct JointSpot {
    const char* code;
    int x;
    int y;
};

inline constexpr JointSpot kJointSpots[] = {
    {"TR", 118, 292},  {"TIJ", 88, 255},  {"TOJ", 66, 222},  {"TIA", 104, 208}, {"IMJ", 130, 175},
    {"IPJ", 124, 125}, {"IDJ", 119, 85},  {"IMA", 150, 148}, {"MMJ", 170, 168}, {"MPJ", 170, 112},
    {"MDJ", 170, 70},  {"MRA", 190, 146}, {"RMJ", 208, 175}, {"RPJ", 213, 124}, {"RDJ", 217, 86},
    {"RPA", 228, 163}, {"PMJ", 243, 197}, {"PPJ", 252, 155}, {"PDJ", 259, 126}, {"PAR", 178, 250},
    {"WFL", 178, 345}, {"WAB", 225, 345},
};

// Finger centre lines from the palm to the tip (thumb, index, middle, ring, pinky).
struct Digit {
    int points[5][2];
    int count;
    int width;
};

inline constexpr Digit kDigits[] = {
    {{{128, 300}, {88, 255}, {66, 222}, {50, 194}, {0, 0}}, 4, 34},
    {{{132, 190}, {130, 175}, {124, 125}, {119, 85}, {116, 52}}, 5, 30},
    {{{170, 185}, {170, 168}, {170, 112}, {170, 70}, {170, 34}}, 5, 31},
    {{{207, 190}, {208, 175}, {213, 124}, {217, 86}, {220, 56}}, 5, 30},
    {{{240, 210}, {243, 197}, {252, 155}, {259, 126}, {264, 100}}, 5, 26},
};

// Outline of the palm, and the wrist below it.
inline constexpr int kPalm[][2] = {{112, 175}, {150, 160}, {195, 160}, {238, 180}, {262, 205},
                                   {258, 290}, {238, 335}, {122, 335}, {104, 305}, {98, 262}};
inline constexpr int kPalmCorners = sizeof(kPalm) / sizeof(kPalm[0]);
inline constexpr int kWrist[4] = {126, 320, 110, 75};  // x, y, width, height

}  // namespace palmdesk
