// The flasher's logger: line format, severity tags, verbosity filter, message cut, file text,
// switching destinations and writing what is queued at normal exit. Scenarios that need the
// logger's start-up and exit run in kestrum_log_child processes.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "logging/log.h"
#include "support/child_process.h"
#include "support/log_lines.h"

using testsupport::ChildProcess;
using testsupport::logMessage;
using testsupport::logMessages;
using testsupport::readFile;
using testsupport::splitLines;
using testsupport::TempDir;

namespace {

const std::regex kHeader(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d : \[(DBG3   |DBG2   |DBG1   |INF    |WRN    |ERR    |       )\] \[KSTRMF\] )");

struct ChildRun {
    int exitCode;
    std::string out;
    std::string err;
};

ChildRun runChild(const TempDir& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv{KESTRUM_LOG_CHILD_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv, dir.file("stdout"), dir.file("stderr"));
    EXPECT_TRUE(child.wait()) << "log child did not end";
    return {child.exitCode(), child.out(), child.err()};
}

std::string tagOf(const std::string& line) {
    std::smatch m;
    if (std::regex_search(line, m, kHeader)) return m[1].str();
    return "<none>";
}

}  // namespace

TEST(LogHeader, TagPerSeverity) {
    struct Case {
        int severity;
        const char* tag;
    };
    const Case cases[] = {
        {0, ": [DBG3   ]"}, {1, ": [DBG3   ]"}, {2, ": [DBG2   ]"}, {3, ": [DBG1   ]"}, {4, ": [INF    ]"},
        {5, ": [WRN    ]"}, {6, ": [ERR    ]"}, {7, ": [       ]"}, {8, ": [DBG3   ]"}, {-1, ": [DBG3   ]"},
    };
    for (const auto& c : cases) {
        const std::string header = logging::make_header(c.severity);
        ASSERT_GE(header.size(), 20u + 11u + 10u) << header;
        EXPECT_EQ(header.substr(20, 11), c.tag) << "severity " << c.severity;
        EXPECT_EQ(header.substr(31), " [KSTRMF] ") << "severity " << c.severity;
        EXPECT_TRUE(std::regex_match(header.substr(0, 20), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )")))
            << header;
    }
}

TEST(LogHeader, SeverityValues) {
    EXPECT_EQ(logging::debug3, 1);
    EXPECT_EQ(logging::debug2, 2);
    EXPECT_EQ(logging::debug1, 3);
    EXPECT_EQ(logging::info, 4);
    EXPECT_EQ(logging::warning, 5);
    EXPECT_EQ(logging::error, 6);
    EXPECT_EQ(logging::file, 7);
}

TEST(LogLevels, FilterByVerbosity) {
    struct Case {
        const char* level;  // empty: start-up level
        std::vector<std::string> expected;
    };
    const std::vector<std::string> all{"line debug3", "line debug2",  "line debug1", "line info",
                                       "line warning", "line error", "line file 7", "line filetext"};
    const Case cases[] = {
        {"", {"line debug1", "line info", "line warning", "line error", "line file 7", "line filetext"}},
        {"4", {"line info", "line warning", "line error", "line file 7", "line filetext"}},
        {"3", {"line debug1", "line info", "line warning", "line error", "line file 7", "line filetext"}},
        {"2", {"line debug2", "line debug1", "line info", "line warning", "line error", "line file 7", "line filetext"}},
        {"1", all},
        {"0", all},
        {"6", {"line error", "line file 7", "line filetext"}},
        {"9", {"line error", "line file 7", "line filetext"}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        std::vector<std::string> args{"levels"};
        if (*c.level != '\0') args.push_back(c.level);
        const ChildRun run = runChild(dir, args);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(logMessages(run.out), c.expected) << "level '" << c.level << "'";
        EXPECT_EQ(run.err, "");
    }
}

TEST(LogLevels, EveryLineCarriesItsTag) {
    TempDir dir;
    const ChildRun run = runChild(dir, {"levels", "1"});
    const std::vector<std::string> lines = splitLines(run.out);
    const std::vector<std::string> tags{"DBG3   ", "DBG2   ", "DBG1   ", "INF    ",
                                        "WRN    ", "ERR    ", "       ", "       "};
    ASSERT_EQ(lines.size(), tags.size()) << run.out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(tagOf(lines[i]), tags[i]) << lines[i];
        EXPECT_TRUE(std::regex_search(lines[i], kHeader)) << lines[i];
    }
}

TEST(LogFormat, MessagesAreCutAt199Characters) {
    TempDir dir;
    const ChildRun run = runChild(dir, {"cut"});
    const std::vector<std::string> msgs = logMessages(run.out);
    ASSERT_EQ(msgs.size(), 4u) << run.out;
    EXPECT_EQ(msgs[0], std::string(199, 'a'));
    EXPECT_EQ(msgs[1], std::string(198, 'b') + "-");
    EXPECT_EQ(msgs[2], std::string(199, 'c'));
    EXPECT_EQ(msgs[3], std::string(300, 'd')) << "file text is never cut";
}

TEST(LogFormat, FileTextOfSeveralLinesHasOneHeader) {
    TempDir dir;
    const ChildRun run = runChild(dir, {"multiline"});
    const std::vector<std::string> lines = splitLines(run.out);
    ASSERT_EQ(lines.size(), 4u) << run.out;
    EXPECT_EQ(tagOf(lines[0]), "       ");
    EXPECT_EQ(logMessage(lines[0]), "first");
    EXPECT_EQ(lines[1], "   second");
    EXPECT_EQ(lines[2], "third");
    EXPECT_EQ(tagOf(lines[3]), "INF    ");
    EXPECT_EQ(logMessage(lines[3]), "after");
}

TEST(LogDestination, LinesBeforeAndAfterSwitchingLandInOrder) {
    TempDir dir;
    const std::string file = dir.file("run.log");
    const ChildRun run = runChild(dir, {"switch", file});
    EXPECT_EQ(run.exitCode, 0);
    std::vector<std::string> before, after;
    for (int i = 0; i < 50; ++i) {
        before.push_back("before " + std::to_string(i));
        after.push_back("after " + std::to_string(i));
    }
    EXPECT_EQ(logMessages(run.out), before);
    EXPECT_EQ(logMessages(readFile(file)), after);
}

TEST(LogDestination, SwitchingKeepsVerbosityAndEachLoggerWritesItsOwnLines) {
    TempDir dir;
    const std::string f1 = dir.file("one.log");
    const std::string f2 = dir.file("two.log");
    const ChildRun run = runChild(dir, {"switch_chain", f1, f2});
    EXPECT_EQ(logMessages(run.out), (std::vector<std::string>{"to stdout 1", "to stdout 2"}));
    EXPECT_EQ(logMessages(readFile(f1)), (std::vector<std::string>{"to file1"}));
    EXPECT_EQ(logMessages(readFile(f2)), (std::vector<std::string>{"to file2 (verbosity kept)"}));
}

TEST(LogDestination, SwitchingTruncatesAnExistingFile) {
    TempDir dir;
    const std::string file = dir.file("run.log");
    testsupport::writeFile(file, "old content that must go\nsecond old line\n");
    runChild(dir, {"switch", file});
    const std::string text = readFile(file);
    EXPECT_EQ(text.find("old content"), std::string::npos);
    EXPECT_EQ(logMessages(text).front(), "after 0");
}

TEST(LogDestination, UnwritablePathChangesNothingElse) {
    TempDir dir;
    const ChildRun run = runChild(dir, {"unwritable", dir.file("missing-dir/run.log")});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

TEST(LogExit, QueuedLinesAreWrittenAtNormalExit) {
    for (bool toFile : {false, true}) {
        TempDir dir;
        const std::string file = dir.file("run.log");
        std::vector<std::string> args{"exit"};
        if (toFile) args.push_back(file);
        const ChildRun run = runChild(dir, args);
        EXPECT_EQ(run.exitCode, 0);
        const std::vector<std::string> msgs = logMessages(toFile ? readFile(file) : run.out);
        ASSERT_EQ(msgs.size(), 3000u) << (toFile ? "file" : "stdout");
        for (int i = 0; i < 3000; ++i) ASSERT_EQ(msgs[i], "queued " + std::to_string(i));
    }
}

TEST(LogWriter, WritesWhileTheProcessRuns) {
    TempDir dir;
    const std::string file = dir.file("run.log");
    ChildProcess child({KESTRUM_LOG_CHILD_BIN, "live", file}, dir.file("stdout"), dir.file("stderr"));
    EXPECT_TRUE(testsupport::waitUntil([&] { return readFile(file).find("live line\n") != std::string::npos; },
                                       std::chrono::seconds(20)));
    child.signal(SIGKILL);
    child.wait();
}

TEST(LogWriter, ConcurrentProducersLoseNothingAndKeepTheirOrder) {
    TempDir dir;
    const std::string file = dir.file("run.log");
    const ChildRun run = runChild(dir, {"threads", file});
    EXPECT_EQ(run.exitCode, 0);
    std::vector<std::string> lines = splitLines(run.out);
    for (const auto& l : splitLines(readFile(file))) lines.push_back(l);
    ASSERT_EQ(lines.size(), 8u * 400u);
    int next[8] = {0};
    const std::regex body(R"(thread (\d) line (\d+))");
    for (const auto& line : lines) {
        ASSERT_TRUE(std::regex_search(line, kHeader)) << line;
        std::smatch m;
        const std::string msg = logMessage(line);
        ASSERT_TRUE(std::regex_match(msg, m, body)) << line;
        const int t = std::stoi(m[1].str());
        EXPECT_EQ(std::stoi(m[2].str()), next[t]) << "thread " << t << " out of order";
        next[t] = std::stoi(m[2].str()) + 1;
    }
}

TEST(LogExit, CloseWritesTheQueueAndDropsLaterLines) {
    TempDir dir;
    const ChildRun run = runChild(dir, {"close"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(logMessages(run.out), (std::vector<std::string>{"kept"}));
}
