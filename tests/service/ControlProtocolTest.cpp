#include "service/ControlProtocol.h"

#include <gtest/gtest.h>

#include <string>

namespace kt {
namespace {

// What a client may send: each line a request, or refused with words that name the fault.
TEST(ControlProtocolTest, RequestsAndTheirRefusals) {
    const std::pair<std::string, std::string> rows[] = {
        {R"({"cmd":"rules"})", ""},
        {R"({"cmd":"add","list":"blockedLocalPorts","entry":"8080","id":7})", ""},
        {R"( {"id":-3,"entry":"10.0.0.1","list":"allowed","cmd":"delete"} )", ""},
        {R"({"cmd":"watch","events":["table","cuts","rules"]})", ""},
        {R"({"cmd":"batch","edits":[{"op":"add","list":"allowed","entry":"::1"},)"
         R"({"op":"delete","list":"blockedRemotePorts","entry":"80"}]})",
         ""},
        {R"({"cmd":"batch","edits":{}})", "\"edits\" must be a list"},
        {R"({"cmd":"batch","edits":[{"op":"move","list":"allowed","entry":"1"}]})",
         "edit 1: \"op\" must be"},
        {R"({"cmd":"batch","edits":[{"op":"add","list":"allowed","entry":"1"},7]})",
         "edit 2: \"op\" must be"},
        {R"({"cmd":"batch","edits":[{"op":"add","list":"x","entry":"1"}]})", "\"list\" must be"},
        {R"({"cmd":"batch","edits":[{"op":"add","list":"allowed","entry":"1","id":1}]})",
         "no field \"id\""},
        {"", "not JSON"},
        {"{oops", "not JSON"},
        {"{\"cmd\":\"add\",\"list\":\"allowed\",\"entry\":\"\xff\"}", "not JSON"},
        {"[1]", "not a JSON object"},
        {R"({"cmd":7})", "no \"cmd\" text"},
        {R"({"cmd":"format-disk"})", "no command \"format-disk\""},
        {R"({"cmd":"rules","list":"allowed"})", "takes no field \"list\""},
        {R"({"cmd":"add","list":"blocked","entry":"1"})", "\"list\" must be"},
        {R"({"cmd":"add","list":"allowed"})", "\"entry\" must be"},
        {R"({"cmd":"add","list":"allowed","entry":")" + std::string(300, '1') + "\"}",
         "\"entry\" must be"},
        {R"({"cmd":"watch","events":["all"]})", "no event \"all\""},
        {R"({"cmd":"rules","id":1.5})", "\"id\" must be"},
        {R"({"cmd":"rules","pad":")" + std::string(kControlMaxLine, ' ') + "\"}", "longer than"},
    };
    for (const auto& [line, error] : rows) {
        const ParsedRequest parsed = ParseControlRequest(line);
        if (error.empty()) {
            ASSERT_TRUE(parsed.request) << line << ": " << parsed.error;
            // The client's own line for it reads back the same.
            const ParsedRequest again = ParseControlRequest(RequestLine(*parsed.request));
            ASSERT_TRUE(again.request) << line;
            EXPECT_EQ(again.request->entry, parsed.request->entry);
            EXPECT_EQ(again.request->list, parsed.request->list);
            EXPECT_EQ(again.request->id, parsed.request->id);
            EXPECT_EQ(again.request->edits, parsed.request->edits);
        } else {
            EXPECT_FALSE(parsed.request) << line;
            EXPECT_NE(parsed.error.find(error), std::string::npos) << line << ": " << parsed.error;
        }
    }
    EXPECT_EQ(ParseControlRequest(R"({"cmd":"add","id":9,"list":"x"})").id, 9);
}

// A large set of rules comes in lines of bounded size, which a client puts back together; a
// batch's answer names each edit's error.
TEST(ControlProtocolTest, RulesComeInPartsAndBatchesAnswerEachEdit) {
    for (const size_t allowed : {size_t{0}, kControlRowsPerEvent, 3 * kControlRowsPerEvent + 5}) {
        RuleTexts rules = {{{}, {"80", "443"}, {"8080"}}};
        for (size_t i = 0; i < allowed; ++i) {
            rules[0].push_back("10.1." + std::to_string(i / 250) + '.' + std::to_string(i % 250));
        }
        RuleTexts joined;
        const std::vector<std::string> lines = RulesLines(rules, 3, false);
        for (size_t i = 0; i < lines.size(); ++i) {
            ControlMessage m;
            std::string why;
            ASSERT_TRUE(ParseControlMessage(lines[i], m, why)) << why;
            EXPECT_EQ(m.more, i + 1 < lines.size()) << allowed;
            EXPECT_EQ(m.id, 3);
            EXPECT_LE(m.rules[0].size() + m.rules[1].size() + m.rules[2].size(),
                      kControlRowsPerEvent);
            for (size_t list = 0; list < joined.size(); ++list) {
                joined[list].insert(joined[list].end(), m.rules[list].begin(), m.rules[list].end());
            }
        }
        EXPECT_EQ(joined, rules) << allowed;
    }
    ControlRequest batch;
    batch.command = ControlRequest::Command::Batch;
    const std::vector<std::string> errors = {"", "This is not a valid port number."};
    ControlMessage m;
    std::string why;
    ASSERT_TRUE(ParseControlMessage(BatchAnswerLine(batch, errors, "the disk is full"), m, why));
    EXPECT_EQ(m.command, "batch");
    EXPECT_EQ(m.errors, errors);
    EXPECT_EQ(m.warning, "the disk is full");
}

// Cut short anywhere, a request is refused with a reason.
TEST(ControlProtocolTest, EveryPrefixOfARequestIsRefused) {
    const std::string whole = R"({"cmd":"add","list":"allowed","entry":"10.0.0.1","id":1})";
    for (size_t n = 0; n < whole.size(); ++n) {
        const std::string prefix = whole.substr(0, n);
        const ParsedRequest parsed = ParseControlRequest(prefix);
        EXPECT_FALSE(parsed.request) << prefix;
        EXPECT_FALSE(parsed.error.empty()) << prefix;
    }
}

// What the service sends, the client reads back as it was meant.
TEST(ControlProtocolTest, ServiceLinesReadBack) {
    const RuleTexts rules = {{{"127.0.0.1", "::1"}, {"8080"}, {}}};
    const TableEdit edit{true, 0, 0, {"80 <--> 127.0.0.2:5000 ESTABLISHED", "22 LISTENING"}};
    ControlRequest add;
    add.command = ControlRequest::Command::Add;
    add.id = 4;
    const std::string cut = "2026-12-08T03:15:02.123Z refused 127.0.0.2:1 -> 127.0.0.3:2 "
                            "(blocked remote port 2): no right";
    ControlMessage m;
    std::string why;
    ASSERT_TRUE(ParseControlMessage(HelloLine("kernel"), m, why)) << why;
    EXPECT_EQ(m.kind, ControlMessage::Kind::Hello);
    EXPECT_EQ(m.guard, "kernel");
    ASSERT_TRUE(ParseControlMessage(RulesLine(rules, 2, false), m, why)) << why;
    EXPECT_EQ(m.rules, rules);
    ASSERT_TRUE(ParseControlMessage(TableLine(edit), m, why)) << why;
    EXPECT_EQ(m.table.rows, edit.rows);
    EXPECT_TRUE(m.table.reset);
    ASSERT_TRUE(ParseControlMessage(CutLine(cut), m, why)) << why;
    EXPECT_EQ(m.line, cut);
    EXPECT_TRUE(m.refused);
    ASSERT_TRUE(
        ParseControlMessage(AnswerLine(add, "This is not a valid port number.", ""), m, why));
    EXPECT_EQ(m.kind, ControlMessage::Kind::Answer);
    EXPECT_EQ(m.id, 4);
    EXPECT_EQ(m.error, "This is not a valid port number.");
    ASSERT_TRUE(ParseControlMessage(ErrorLine("too long", std::nullopt, true), m, why));
    EXPECT_TRUE(m.closing);
    EXPECT_FALSE(
        ParseControlMessage(R"({"event":"table","first":-1,"count":0,"rows":[]})", m, why));
    EXPECT_FALSE(ParseControlMessage(R"({"event":"hello","protocol":99})", m, why));
    ASSERT_TRUE(ParseControlMessage(NoticeLine("The rules could not be saved.\n\"x\""), m, why));
    EXPECT_EQ(m.kind, ControlMessage::Kind::Notice);
    EXPECT_EQ(m.line, "The rules could not be saved.\n\"x\"");
    EXPECT_FALSE(ParseControlMessage(R"({"event":"notice","text":""})", m, why));
}

} // namespace
} // namespace kt
