// The headless message box and file dialogs, and the engine reports routed to the box.
#include <gtest/gtest.h>

#include "engine/report.h"
#include "framework/dialogs.h"
#include "tests/framework/platform_test_support.h"

namespace {

KelFileDialogRequest audio_request() {
    return {"Save Audio File", "", "untitled",
            {{"WAV Audio File (16 bits)", ".wav"}, {"AIFF Audio File (16 bits)", ".aiff"}}};
}

} // namespace

TEST(HeadlessMessageBox, UnscriptedBoxesAnswerTheSafeDefault) {
    struct Case {
        KelBoxButtons buttons;
        KelBoxAnswer expected;
    };
    const Case cases[] = {
        {KelBoxButtons::Ok, KelBoxAnswer::Ok},
        {KelBoxButtons::OkCancel, KelBoxAnswer::Cancel},
        {KelBoxButtons::YesNo, KelBoxAnswer::No},
        {KelBoxButtons::YesNoCancel, KelBoxAnswer::Cancel},
    };
    mellora::test::LogCapture log;
    KelHeadlessMessageBox box;
    for (const Case& c : cases) EXPECT_EQ(box.show("Question", "Sure?", c.buttons, KelBoxIcon::Question), c.expected);
    EXPECT_EQ(box.shown().size(), 4u);
    EXPECT_EQ(log.count_containing("message box \"Question\": Sure?"), 4);
}

TEST(HeadlessMessageBox, ScriptedAnswersAreUsedInOrderWhenTheBoxOffersThem) {
    KelHeadlessMessageBox box;
    box.script(KelBoxAnswer::Yes);
    box.script(KelBoxAnswer::Yes);  // a Yes/No box cannot answer Ok...
    box.script(KelBoxAnswer::Cancel);
    EXPECT_EQ(box.show("Question", "a", KelBoxButtons::YesNo, KelBoxIcon::Question), KelBoxAnswer::Yes);
    EXPECT_EQ(box.show("Warning", "b", KelBoxButtons::Ok, KelBoxIcon::Warning), KelBoxAnswer::Ok);
    EXPECT_EQ(box.show("Question", "c", KelBoxButtons::YesNo, KelBoxIcon::Question), KelBoxAnswer::No);
    EXPECT_EQ(box.show("Question", "d", KelBoxButtons::YesNo, KelBoxIcon::Question), KelBoxAnswer::No);
    const auto shown = box.shown();
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[1].title, "Warning");
    EXPECT_EQ(shown[1].text, "b");
    EXPECT_EQ(shown[1].icon, KelBoxIcon::Warning);
}

TEST(PlatformMessageBox, EngineReportsReachTheInstalledService) {
    mellora::test::LogCapture log;
    KelHeadlessMessageBox box;
    kel_set_message_box_service(&box);
    kel_install_platform_message_box();
    KEL_WARNING("The factory library was restored.");
    const int errors = kel_error_count();
    KEL_ERROR("Can't open database:  %s", "cannot create database");
    kel_set_message_box(nullptr);
    kel_set_message_box_service(nullptr);

    EXPECT_EQ(kel_error_count(), errors + 1);
    const auto shown = box.shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].title, "Warning");
    EXPECT_EQ(shown[0].text, "The factory library was restored.");
    EXPECT_EQ(shown[0].icon, KelBoxIcon::Warning);
    EXPECT_EQ(shown[1].title, "Error");
    EXPECT_EQ(shown[1].text, "Can't open database:  cannot create database");
    EXPECT_EQ(shown[1].icon, KelBoxIcon::Error);
    EXPECT_EQ(shown[1].buttons, KelBoxButtons::Ok);
    EXPECT_EQ(log.count_containing("<error> Can't open database:  cannot create database"), 1);
    EXPECT_EQ(&kel_message_box_service(), &kel_headless_message_box());
}

TEST(HeadlessFileDialog, CancelsUnlessAPathIsScriptedOrStanding) {
    KelHeadlessFileDialog dialog;
    EXPECT_FALSE(dialog.save_file(audio_request()).chosen);

    dialog.script("/tmp/take.AIFF");          // type taken from the extension
    dialog.script("/tmp/take", 1);            // extension added from the chosen type
    dialog.script("/tmp/other.flac");         // unknown extension: first type, kept as typed
    dialog.script_cancel();
    auto a = dialog.save_file(audio_request());
    EXPECT_TRUE(a.chosen);
    EXPECT_EQ(a.path, "/tmp/take.AIFF");
    EXPECT_EQ(a.type_index, 1);
    a = dialog.save_file(audio_request());
    EXPECT_EQ(a.path, "/tmp/take.aiff");
    EXPECT_EQ(a.type_index, 1);
    a = dialog.save_file(audio_request());
    EXPECT_EQ(a.path, "/tmp/other.flac");
    EXPECT_EQ(a.type_index, 0);
    a = dialog.save_file(audio_request());
    EXPECT_FALSE(a.chosen);
    EXPECT_TRUE(a.path.empty());

    dialog.set_standing_path("/tmp/tool.wav");  // a tool's command line answers every dialog
    a = dialog.open_file(audio_request());
    EXPECT_TRUE(a.chosen);
    EXPECT_EQ(a.path, "/tmp/tool.wav");
    EXPECT_EQ(dialog.requests().size(), 6u);
    EXPECT_EQ(dialog.requests().front().title, "Save Audio File");
    EXPECT_EQ(dialog.requests().front().default_name, "untitled");
}
