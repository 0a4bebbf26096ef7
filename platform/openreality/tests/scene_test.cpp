// The scene file: what is written reads back, and untrusted text is refused clearly.

#include <gtest/gtest.h>

#include "fbsdk/fbhost.h"

TEST(Scene, FieldsRoundTripWithEscapes) {
    FBHost::SceneObject o;
    o.className = "ORDeviceManuvia";
    o.name = "Manuvia \"left\"";
    o.fields.FieldWriteI("Version", -100);
    o.fields.FieldWriteBegin("Configuration");
    o.fields.FieldWriteC("Sim\\ulated\n\tx");
    o.fields.FieldWriteC("");
    o.fields.FieldWriteEnd();
    auto back = FBHost::readScene(FBHost::writeScene({o, o}));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].name, o.name);
    EXPECT_EQ(back[1].fields.FieldReadI("Version"), -100);
    ASSERT_TRUE(back[1].fields.FieldReadBegin("Configuration"));
    EXPECT_STREQ(back[1].fields.FieldReadC(), "Sim\\ulated\n\tx");
    EXPECT_STREQ(back[1].fields.FieldReadC(), "");
    EXPECT_STREQ(back[1].fields.FieldReadC(), "") << "past the end";
    EXPECT_FALSE(back[1].fields.FieldReadBegin("Missing"));
}

TEST(Scene, MalformedOrTruncatedTextIsAClearError) {
    const std::string head = "manuvia-scene 1\nobject \"D\" \"d\"\n";
    struct Case {
        std::string text, why;
    };
    const Case cases[] = {
        {"", "empty"},
        {"manuvia-scene 2\n", "not a scene file"},
        {head, "truncated"},
        {head + "field \"Version\" int 10", "truncated"},
        {head + "field \"Vers", "line 3: a quoted text is not closed"},
        {head + "field \"V\" int 99999999999\nend\n", "not an integer"},
        {head + "field \"V\" int 1x\nend\n", "not an integer"},
        {head + "field \"V\" real 1.5\nend\n", "unknown value kind"},
        {head + "field \"V\" string \"a\\q\"\nend\n", "unknown escape"},
        {head + "field \"V\" string \"a\"b\nend\n", "no space after"},
        {head + "object \"E\" \"e\"\n", "missing 'end'"},
        {"manuvia-scene 1\nfield \"V\" int 1\n", "outside an object"},
        {"manuvia-scene 1\nend\n", "outside an object"},
        {head + "end extra\n", "unexpected text"},
        {head + "field \"" + std::string(5000, 'n') + "\"\nend\n", "longer than"},
        {head + "field \"a\x01\"\nend\n", "control character"},
    };
    for (const Case& c : cases) {
        try {
            FBHost::readScene(c.text);
            ADD_FAILURE() << "accepted: " << c.text.substr(0, 60);
        } catch (const FBHost::SceneError& e) {
            EXPECT_NE(std::string(e.what()).find(c.why), std::string::npos)
                << e.what() << " / wanted " << c.why;
        }
    }
    EXPECT_THROW(FBHost::loadScene("/nonexistent/scene"), FBHost::SceneError);
}
