// Replays one recorded dialogue on the scripted line: the engine must write exactly the
// recorded bytes and give exactly the recorded results.
//   dialogue_tests <file.dump> [--quick]
// With --quick the port ends a burst a settle gap after its final result: the engine must
// still write the same bytes and give the same results.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "Dialogue.h"
#include "engine/ProcessState.h"
#include "engine/ReplyReader.h"
#include "support/ScriptedLine.h"
#include "support/TestPlatform.h"

namespace {

std::string g_path;
bool g_quick = false;

std::string Written(const std::vector<TestSupport::LineEvent>& exchange) {
    std::string bytes;
    for (const TestSupport::LineEvent& event : exchange) {
        if (event.kind == TestSupport::LineEvent::Kind::Write) {
            bytes += event.bytes;
        }
    }
    return bytes;
}

TEST(Dialogue, ReplaysAsRecorded) {
    std::ifstream in(g_path, std::ios::binary);
    ASSERT_TRUE(in) << g_path;
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    const std::optional<Dialogues::Dialogue> dialogue = Dialogues::Parse(text.str(), error);
    ASSERT_TRUE(dialogue.has_value()) << g_path << ": " << error;

    TestSupport::CScriptedLine line;
    line.Play(dialogue->exchange);
    CSXCom port;
    port.AttachLine(line);
    ASSERT_EQ(port.Open(1, 115200), 1);
    GSM::SetQuickReplies(port, g_quick);
    GSM::IComBaseCmd engine;
    const Dialogues::Fields results = Dialogues::Perform(engine, port, dialogue->header);
    GSM::modelCode.store(GSM::kModelCodeAtLoad);

    EXPECT_EQ(Dialogues::Escape(line.Written()), Dialogues::Escape(Written(dialogue->exchange)));
    const Dialogues::Fields expected = dialogue->Expected();
    EXPECT_EQ(results.size(), expected.size());
    for (std::size_t i = 0; i < results.size() && i < expected.size(); ++i) {
        const auto& [key, value] = expected[i];
        EXPECT_EQ(results[i].first, key);
        // A message text reaches the caller in the local code page.
        const std::string want = key.ends_with(" text") ? TestSupport::LocalText(value) : value;
        EXPECT_EQ(Dialogues::Escape(results[i].second), Dialogues::Escape(want)) << key;
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    g_quick = argc == 3 && std::string(argv[2]) == "--quick";
    if (argc != 2 && !g_quick) {
        std::fprintf(stderr, "usage: dialogue_tests <file.dump> [--quick]\n");
        return 2;
    }
    g_path = argv[1];
    return RUN_ALL_TESTS();
}
