// The run lifecycle of the entry point against test doubles of the run operations
// (kestrum_flasher_double): exit codes, the closing line, verbosity, the ODX-F test mode and
// termination by signals.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "flasher/entry_process.h"

using entrytest::Outcome;
using entrytest::contains;
using entrytest::count;
using entrytest::kDouble;
using entrytest::kFinished;
using testsupport::ChildProcess;
using testsupport::TempDir;
using testsupport::logMessages;
using testsupport::splitLines;

namespace {

using Env = std::map<std::string, std::string>;

class EntryRun : public ::testing::Test {
protected:
    // Arguments for a run that passes configuration: an existing flash-file root.
    std::vector<std::string> args(std::vector<std::string> extra = {}) const {
        std::vector<std::string> a{"--datflash_path", dir_.path()};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    Outcome run(const std::vector<std::string>& a, const Env& env = {}) {
        return entrytest::run(dir_, kDouble, a, env);
    }
    std::unique_ptr<ChildProcess> start(const std::vector<std::string>& a, const Env& env) {
        std::vector<std::string> argv{kDouble};
        argv.insert(argv.end(), a.begin(), a.end());
        return std::make_unique<ChildProcess>(argv, dir_.file("stdout"), dir_.file("stderr"), env);
    }
    TempDir dir_;
};

std::vector<std::string> markers(const std::string& err) {
    std::vector<std::string> out;
    for (const auto& line : splitLines(err)) {
        if (line.rfind("double: ", 0) == 0) out.push_back(line.substr(8));
    }
    return out;
}

}  // namespace

TEST_F(EntryRun, NormalEndLogsFinishedLastAndExitsWithTheResult) {
    for (int code : {0, 1, 3, 5, 6, 7, 8}) {
        const Outcome o = run(args(), {{"KESTRUM_DOUBLE_MAIN", "return:" + std::to_string(code)}});
        ASSERT_TRUE(o.ended);
        EXPECT_EQ(o.exitCode, code);
        EXPECT_EQ(markers(o.err), (std::vector<std::string>{"init", "main", "deinit"}));
        const std::vector<std::string> msgs = logMessages(o.out);
        ASSERT_FALSE(msgs.empty());
        EXPECT_EQ(msgs.back(), kFinished) << code;
        EXPECT_EQ(count(msgs, kFinished), 1);
        EXPECT_EQ(msgs[msgs.size() - 2], "DOUBLE: deinit");
    }
}

TEST_F(EntryRun, LogOrderOfARun) {
    const Outcome o = run(args());
    EXPECT_EQ(o.exitCode, 0);
    const std::vector<std::string> lines = splitLines(o.out);
    std::vector<std::string> msgs = logMessages(o.out);
    // Parameter dump, banner, the run operations, closing line.
    ASSERT_GE(msgs.size(), 5u);
    EXPECT_EQ(msgs[0], "Parameters:");
    std::size_t i = 1;
    while (i < msgs.size() && msgs[i].rfind("  Param:", 0) == 0) ++i;
    ASSERT_EQ(msgs.size() - i, 5u) << o.out;
    EXPECT_TRUE(std::regex_match(
        msgs[i], std::regex(R"(Kestrum Flasher 3\.0\.3 \(10003\) - [A-Z][a-z]{2} [ 1-3][0-9] \d{4} \d\d:\d\d:\d\d)")))
        << msgs[i];
    EXPECT_NE(lines[i].find(": [INF    ] [KSTRMF] Kestrum Flasher"), std::string::npos);
    EXPECT_EQ(msgs[i + 1], "DOUBLE: init");
    EXPECT_EQ(msgs[i + 2], "DOUBLE: main");
    EXPECT_EQ(msgs[i + 3], "DOUBLE: deinit");
    EXPECT_EQ(msgs[i + 4], kFinished);
    EXPECT_NE(lines.back().find(": [INF    ] [KSTRMF] ----- Finished -----"), std::string::npos);
}

TEST_F(EntryRun, InitFailureExitsWith3WithoutClosingLine) {
    for (const char* mode : {"fail", "throw"}) {
        const Outcome o = run(args(), {{"KESTRUM_DOUBLE_INIT", mode}});
        EXPECT_EQ(o.exitCode, 3) << mode;
        EXPECT_EQ(markers(o.err), std::vector<std::string>{"init"}) << mode;
        EXPECT_FALSE(contains(logMessages(o.out), kFinished)) << mode;
    }
    const Outcome o = run(args(), {{"KESTRUM_DOUBLE_INIT", "throw"}});
    EXPECT_TRUE(contains(logMessages(o.out), "FLASH: Exception: init exploded"));
}

TEST_F(EntryRun, ExceptionFromTheRunEndsInAnOrderlyWay) {
    struct Case {
        const char* mode;
        const char* logged;
    };
    const Case cases[] = {{"throw", "FLASH: Exception: main exploded"}, {"throw_other", "FLASH: Unknown exception"}};
    for (const auto& c : cases) {
        const Outcome o = run(args(), {{"KESTRUM_DOUBLE_MAIN", c.mode}});
        EXPECT_EQ(o.exitCode, 5) << c.mode;
        EXPECT_EQ(markers(o.err), (std::vector<std::string>{"init", "main", "deinit"}));
        const std::vector<std::string> msgs = logMessages(o.out);
        EXPECT_TRUE(contains(msgs, c.logged)) << o.out;
        ASSERT_FALSE(msgs.empty());
        EXPECT_EQ(msgs.back(), kFinished);
    }
}

TEST_F(EntryRun, ReadIdentsSkipsTheFlashFileRootCheck) {
    const Outcome o = entrytest::run(dir_, kDouble, {"--read_idents", "--datflash_path", dir_.file("missing")});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(markers(o.err), (std::vector<std::string>{"init", "main", "deinit"}));
}

TEST_F(EntryRun, RootThroughSymbolicLinkIsADirectory) {
    const std::string link = dir_.file("link");
    ASSERT_EQ(symlink(dir_.path().c_str(), link.c_str()), 0);
    const Outcome o = entrytest::run(dir_, kDouble, {"--datflash_path", link});
    EXPECT_EQ(o.exitCode, 0);
}

TEST_F(EntryRun, VerbosityFollowsTheNumberOfVFlags) {
    struct Case {
        std::vector<std::string> flags;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{}, {"info", "warning", "error", "file"}},
        {{"-v"}, {"debug1", "info", "warning", "error", "file"}},
        {{"-vv"}, {"debug2", "debug1", "info", "warning", "error", "file"}},
        {{"-v", "-v", "-v"}, {"debug3", "debug2", "debug1", "info", "warning", "error", "file"}},
    };
    for (const auto& c : cases) {
        const Outcome o = run(args(c.flags), {{"KESTRUM_DOUBLE_MAIN", "levels"}});
        EXPECT_EQ(o.exitCode, 0);
        std::vector<std::string> levels;
        for (const auto& m : logMessages(o.out)) {
            if (m.rfind("DOUBLE: level ", 0) == 0) levels.push_back(m.substr(14));
        }
        EXPECT_EQ(levels, c.expected) << c.flags.size() << " flags";
        EXPECT_TRUE(contains(logMessages(o.out), "Parameters:")) << "the dump is written whatever -v says";
    }
}

TEST_F(EntryRun, OdxTestModeRunsNothingElse) {
    struct Case {
        const char* mode;
        int exitCode;
    };
    const Case cases[] = {{"ok", 0}, {"fail", 4}, {"throw", 4}};
    for (const auto& c : cases) {
        const Outcome o = run(args({"--test_odx_file", "no-such.odx"}), {{"KESTRUM_DOUBLE_TESTODX", c.mode}});
        EXPECT_EQ(o.exitCode, c.exitCode) << c.mode;
        EXPECT_EQ(markers(o.err), std::vector<std::string>{"testodx"}) << c.mode;
        EXPECT_FALSE(contains(logMessages(o.out), kFinished)) << c.mode;
    }
}

TEST_F(EntryRun, LogfileReceivesTheRunAndIsTruncated) {
    const std::string log = dir_.file("run.log");
    testsupport::writeFile(log, "old line\n");
    const Outcome o = run(args({"--logfile", log}), {{"KESTRUM_DOUBLE_MAIN", "return:1"}});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out, "");
    const std::vector<std::string> msgs = logMessages(testsupport::readFile(log));
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.front(), "Parameters:");
    EXPECT_EQ(msgs.back(), kFinished);
}

TEST_F(EntryRun, UnwritableLogfileChangesNothingElse) {
    for (const char* result : {"return:0", "return:5"}) {
        const Outcome plain = run(args(), {{"KESTRUM_DOUBLE_MAIN", result}});
        const Outcome o = run(args({"--logfile", dir_.file("missing-dir/run.log")}), {{"KESTRUM_DOUBLE_MAIN", result}});
        EXPECT_EQ(o.exitCode, plain.exitCode) << result;
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(markers(o.err), (std::vector<std::string>{"init", "main", "deinit"}));
    }
}

TEST_F(EntryRun, SigtermDuringTheRunShutsDownOnceWithExit15) {
    auto child = start(args(), {{"KESTRUM_DOUBLE_MAIN", "block"}});
    ASSERT_TRUE(child->waitForOutput("double: main\n", true));
    child->signal(SIGTERM);
    const Outcome o = entrytest::finish(*child);
    ASSERT_TRUE(o.ended);
    EXPECT_EQ(o.exitCode, 15);
    EXPECT_EQ(markers(o.err), (std::vector<std::string>{"init", "main", "deinit"}));
    const std::vector<std::string> msgs = logMessages(o.out);
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.back(), kFinished);
    EXPECT_EQ(count(msgs, kFinished), 1);
}

TEST_F(EntryRun, SigtermWhileTheRunLogsKeepsFinishedAsLastLine) {
    const std::string log = dir_.file("run.log");
    for (const bool toFile : {false, true}) {
        std::vector<std::string> a = args();
        if (toFile) a.insert(a.end(), {"--logfile", log});
        auto child = start(a, {{"KESTRUM_DOUBLE_MAIN", "spam"}});
        ASSERT_TRUE(child->waitForOutput("double: main\n", true));
        ASSERT_TRUE(testsupport::waitUntil(
            [&] { return testsupport::readFile(toFile ? log : dir_.file("stdout")).find("DOUBLE: spam 500\n") !=
                         std::string::npos; },
            std::chrono::seconds(20)));
        child->signal(SIGTERM);
        const Outcome o = entrytest::finish(*child);
        EXPECT_EQ(o.exitCode, 15);
        const std::string text = toFile ? testsupport::readFile(log) : o.out;
        const std::vector<std::string> lines = splitLines(text);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(testsupport::logMessage(lines.back()), kFinished) << (toFile ? "file" : "stdout");
        EXPECT_EQ(count(logMessages(text), kFinished), 1);
        for (const auto& line : lines) ASSERT_NE(line.find(" [KSTRMF] "), std::string::npos) << "torn line: " << line;
    }
}

TEST_F(EntryRun, SecondSigtermDuringShutdownDoesNothing) {
    auto child = start(args(), {{"KESTRUM_DOUBLE_MAIN", "block"}, {"KESTRUM_DOUBLE_DEINIT_MS", "1000"}});
    ASSERT_TRUE(child->waitForOutput("double: main\n", true));
    child->signal(SIGTERM);
    ASSERT_TRUE(child->waitForOutput("double: deinit\n", true));
    child->signal(SIGTERM);
    child->signal(SIGTERM);
    const Outcome o = entrytest::finish(*child);
    EXPECT_EQ(o.exitCode, 15);
    EXPECT_EQ(markers(o.err), (std::vector<std::string>{"init", "main", "deinit"}));
    const std::vector<std::string> msgs = logMessages(o.out);
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.back(), kFinished);
    EXPECT_EQ(count(msgs, kFinished), 1);
}

TEST_F(EntryRun, SigtermAfterTheRunEndedNormallyDoesNotChangeTheResult) {
    // The normal shutdown has begun (deinit is slow); a SIGTERM now finds nothing to do.
    auto child = start(args(), {{"KESTRUM_DOUBLE_MAIN", "return:6"}, {"KESTRUM_DOUBLE_DEINIT_MS", "1000"}});
    ASSERT_TRUE(child->waitForOutput("double: deinit\n", true));
    child->signal(SIGTERM);
    const Outcome o = entrytest::finish(*child);
    EXPECT_EQ(o.exitCode, 6);
    EXPECT_EQ(count(logMessages(o.out), kFinished), 1);
}

TEST_F(EntryRun, SigtermBeforeInitialisationHasItsDefaultAction) {
    auto child = start(args(), {{"KESTRUM_DOUBLE_INIT", "block"}});
    ASSERT_TRUE(child->waitForOutput("double: init\n", true));
    child->signal(SIGTERM);
    const Outcome o = entrytest::finish(*child);
    EXPECT_EQ(o.termSignal, SIGTERM);
    EXPECT_FALSE(contains(logMessages(o.out), kFinished));
}

TEST_F(EntryRun, SigintKeepsItsDefaultAction) {
    auto child = start(args(), {{"KESTRUM_DOUBLE_MAIN", "block"}});
    ASSERT_TRUE(child->waitForOutput("double: main\n", true));
    child->signal(SIGINT);
    const Outcome o = entrytest::finish(*child);
    EXPECT_EQ(o.termSignal, SIGINT);
    EXPECT_EQ(markers(o.err), (std::vector<std::string>{"init", "main"}));
}

TEST_F(EntryRun, SigsegvExitsWith11) {
    const Outcome o = run(args(), {{"KESTRUM_DOUBLE_MAIN", "segv"}});
    EXPECT_EQ(o.exitCode, 11);
    EXPECT_EQ(o.termSignal, 0);
}

TEST_F(EntryRun, SigpipeIsIgnored) {
    const Outcome o = run(args(), {{"KESTRUM_DOUBLE_MAIN", "sigpipe"}});
    EXPECT_EQ(o.exitCode, 0);
    const std::vector<std::string> msgs = logMessages(o.out);
    EXPECT_TRUE(contains(msgs, "DOUBLE: survived SIGPIPE"));
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.back(), kFinished);
}
