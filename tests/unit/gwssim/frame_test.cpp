// The tool frame: the call log and every fault kind, through a probe tool and the real tools.
#include "gwssim_fixture.h"

#include <fstream>

using gwstest::DomainTest;
using gwstest::Exists;
using gwstest::Read;
using gwstest::Result;

namespace {

const char kConn[] = "ERROR: Connection error";

// The probe prints, writes an output file and does work in the domain, all in one call.
struct ProbeCall {
    std::string out_file;
    std::vector<std::string> Argv(const std::string& extra = "") const {
        std::vector<std::string> v = {PROBE_BIN, "--print", "0123456789{\"k\":1}", "--write", out_file,
                                      "id,name\nabcdef,xyz\n", "--mark", "work-done"};
        if (!extra.empty()) v.push_back(extra);
        return v;
    }
};

// True once /proc shows the process ignoring (or no longer ignoring) SIGTERM... read once.
bool Ignores_Sigterm(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("SigIgn:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
    return false;
}

}  // namespace

TEST_F(DomainTest, EveryFaultKindDoesWhatItSays) {
    struct Case {
        std::vector<std::string> rule;   // after --tool probe --match MARK
        int status;
        std::string out;                 // stdout exactly
        std::string err_has;             // a text stderr holds ("" = stderr empty)
        bool work_done;
        std::string file;                // the output file's content, "-" = absent
    };
    const std::string full_out = "0123456789{\"k\":1}", full_file = "id,name\nabcdef,xyz\n";
    std::vector<Case> cases = {
        {{"--action", "fail"}, 1, "", "ERROR: 500", false, "-"},
        {{"--action", "fail", "--exit", "7"}, 7, "", "ERROR: 500", false, "-"},
        {{"--action", "conn"}, 3, "", kConn, false, "-"},  // GAM's status for a lost connection
        {{"--action", "conn_after"}, 3, "", kConn, true, "-"},
        {{"--action", "conn", "--exit", "0"}, 0, "", kConn, false, "-"},
        // A network GAM cannot reach at all: its own retries spent, status 5 and this line.
        {{"--action", "unreachable"}, 5, "", "ERROR: Unable to find the server at www.googleapis.com\n", false, "-"},
        {{"--action", "empty"}, 0, "", "", false, "-"},
        {{"--action", "truncate"}, 0, full_out.substr(0, full_out.size() / 2), "", true,
         full_file.substr(0, full_file.size() / 2)},
        {{"--action", "fail_after"}, 1, "", "ERROR: 500", true, "-"},
        {{"--action", "conn_after", "--exit", "0"}, 0, "", kConn, true, "-"},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string mark = "case" + std::to_string(++n);
        ASSERT_EQ(Run({GWSSIM_CLI, "fault", root, "clear"}).status, 0);
        std::vector<std::string> rule = {"--tool", "probe", "--match", mark};
        rule.insert(rule.end(), c.rule.begin(), c.rule.end());
        Fault(rule);
        unlink((root + "/work-done").c_str());
        ProbeCall p{dir + "/out" + std::to_string(n) + ".csv"};
        Result r = Run(p.Argv(mark));
        std::string what = c.rule[1] + " #" + std::to_string(n);
        EXPECT_EQ(r.status, c.status) << what;
        EXPECT_EQ(r.out, c.out) << what;
        if (c.err_has.empty()) EXPECT_EQ(r.err, "") << what;
        else EXPECT_NE(r.err.find(c.err_has), std::string::npos) << what << ": " << r.err;
        EXPECT_EQ(Exists(root + "/work-done"), c.work_done) << what;
        if (c.file == "-") EXPECT_FALSE(Exists(p.out_file)) << what;
        else EXPECT_EQ(Read(p.out_file), c.file) << what;
    }

    // Garbage: the work is done, but neither stdout nor the file parses as the JSON or CSV asked for.
    ASSERT_EQ(Run({GWSSIM_CLI, "fault", root, "clear"}).status, 0);
    Fault({"--tool", "probe", "--action", "garbage"});
    ProbeCall p{dir + "/garbage.csv"};
    Result g = Run(p.Argv());
    EXPECT_EQ(g.status, 0);
    EXPECT_FALSE(Gwssim_Json_Parse(g.out));
    EXPECT_FALSE(Gwssim_Json_Parse(Read(p.out_file)));
    EXPECT_EQ(Read(p.out_file).rfind("id", 0), std::string::npos);
    EXPECT_NE(Read(p.out_file), full_file);

    // Without a rule that fits, the call is untouched.
    ASSERT_EQ(Run({GWSSIM_CLI, "fault", root, "clear"}).status, 0);
    Fault({"--tool", "lettrix", "--action", "fail"});
    Fault({"--tool", "probe", "--match", "no such text", "--action", "fail"});
    Result plain = Run(p.Argv());
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, full_out);
    EXPECT_EQ(Read(p.out_file), full_file);
}

// Without a network, the real GAM names the host of the first API it reaches for: a `user ...`
// command first fetches the Directory API's description, whatever service it is for.
TEST_F(DomainTest, UnreachableNamesTheHostTheRealToolReachesFirst) {
    const std::string admin = "ERROR: Unable to find the server at admin.googleapis.com\n";
    const std::string calendar = "ERROR: Unable to find the server at calendar-json.googleapis.com\n";
    struct Case {
        std::vector<std::string> argv;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{GAM_BIN, "user", "a@example.test", "print", "filelist", "fields", "id"}, admin},
        {{GAM_BIN, "user", "a@example.test", "get", "drivefile", "id", "x", "targetname", "-"}, admin},
        {{GAM_BIN, "user", "a@example.test", "create", "drivefile", "drivefilename", "n", "localfile", "f"}, admin},
        {{GAM_BIN, "user", "a@example.test", "print", "messages", "includespamtrash", "countsonly"}, admin},
        {{GAM_BIN, "user", "a@example.test", "export", "messages", "ids", "m", "targetname", "t"}, admin},
        {{GAM_BIN, "user", "a@example.test", "print", "contacts", "allfields"}, admin},
        {{GAM_BIN, "calendars", "a@example.test", "print", "events"}, calendar},
        {{GAM_BIN, "calendar", "a@example.test", "import", "event", "icaluid", "u", "json", "{}"}, calendar},
    };
    Fault({"--tool", "gam", "--action", "unreachable"});
    for (const Case& c : cases) {
        Result r = Run(c.argv);
        EXPECT_EQ(r.status, 5) << c.argv[1] << " " << c.argv[3];
        EXPECT_EQ(r.err, c.err) << c.argv[1] << " " << c.argv[3];
    }
}

TEST_F(DomainTest, CountedRulesHoldAcrossProcesses) {
    std::string key = Key("drive,gmail,calendar,contacts");
    // Fails twice, then succeeds: each call is its own process.
    Fault({"--tool", "scoutix", "--match", "-check_gmail", "--action", "fail", "--times", "2"});
    // Lets the first call through, fails the second only.
    Fault({"--tool", "scoutix", "--match", "-info", "--action", "conn", "--skip", "1", "--times", "1"});
    std::vector<int> gmail, info;
    for (int i = 0; i < 4; ++i) {
        gmail.push_back(Run({SCOUTIX_BIN, "-check_gmail", key, "admin@example.test"}).status);
        info.push_back(Run({SCOUTIX_BIN, "-info", key, "admin@example.test"}).status);
    }
    EXPECT_EQ(gmail, (std::vector<int>{1, 1, 0, 0}));
    EXPECT_EQ(info, (std::vector<int>{0, 3, 0, 0}));
    // Other options of the same tool are not matched.
    EXPECT_EQ(Run({SCOUTIX_BIN, "-check_drive", key, "admin@example.test"}).status, 0);
}

TEST_F(DomainTest, ParallelCallsCountEachMatchOnce) {
    Fault({"--tool", "*", "--action", "fail", "--times", "3"});
    std::vector<pid_t> pids;
    for (int i = 0; i < 12; ++i) pids.push_back(gwstest::Start(root, {PROBE_BIN}, "/dev/null", "/dev/null"));
    int failed = 0;
    for (pid_t pid : pids) failed += gwstest::Finish(pid, "/dev/null", "/dev/null").status != 0;
    EXPECT_EQ(failed, 3);
    EXPECT_EQ(Calls().size(), 12u);
}

TEST_F(DomainTest, CallLogKeepsHostileArgumentsUnchanged) {
    std::vector<std::string> args = {"Q3 report's \"final\" $(touch pwned) 100%.txt",
                                     "-leading dash",
                                     "line\nbreak",
                                     "",
                                     "  blanks  ",
                                     "%s%n%d",
                                     "back\\slash;&|<>`*?~",
                                     "R\xc3\xa9sum\xc3\xa9"};
    std::vector<std::string> argv = {PROBE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--exit");
    argv.push_back("3");
    ++runs;
    pid_t pid = gwstest::Start(root, argv, Out_Path(), Err_Path());
    Result r = gwstest::Finish(pid, Out_Path(), Err_Path());
    ASSERT_EQ(r.status, 3);

    auto calls = Calls();
    ASSERT_EQ(calls.size(), 1u);
    json_object* c = calls[0].get();
    std::vector<std::string> logged = Gwssim_Json_Str_List(c, "argv");
    ASSERT_EQ(logged.size(), args.size() + 2);
    for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(logged[i], args[i]) << i;
    EXPECT_EQ(Gwssim_Json_Str(c, "tool"), "probe");
    EXPECT_EQ(Gwssim_Json_Int(c, "pid", 0), pid);
    EXPECT_EQ(Gwssim_Json_Int(c, "pgid", 0), getpgrp());
    EXPECT_EQ(Gwssim_Json_Int(c, "ppid", 0), getpid());
    EXPECT_EQ(Gwssim_Json_Int(c, "exit", -1), 3);
    EXPECT_FALSE(Gwssim_Json_Str(c, "time").empty());

    ASSERT_EQ(Run({GWSSIM_CLI, "calls", root, "--clear"}).status, 0);
    EXPECT_TRUE(Calls().empty());
}

TEST_F(DomainTest, HangEndsOnSigtermUnlessTheRuleIgnoresIt) {
    std::string key = Key("drive");
    Fault({"--tool", "scoutix", "--match", "-check_drive", "--action", "hang"});
    Fault({"--tool", "scoutix", "--match", "-shared", "--action", "hang_noterm"});
    // A call is hanging once its start is logged and it has not ended.
    auto wait_started = [&](size_t count) {
        for (int i = 0; i < 2000 && Calls().size() < count; ++i) usleep(10000);
        ASSERT_EQ(Calls().size(), count);
    };
    std::string out = dir + "/hang.out";
    pid_t pid = gwstest::Start(root, {SCOUTIX_BIN, "-check_drive", key, "admin@example.test"}, out, "/dev/null");
    wait_started(1);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    Result r = gwstest::Finish(pid, out, "/dev/null");
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(Gwssim_Json_Int(Calls()[0].get(), "exit", 99), 99);  // no end was logged

    pid = gwstest::Start(root, {SCOUTIX_BIN, "-shared", key, "admin@example.test"}, out, "/dev/null");
    wait_started(2);
    for (int i = 0; i < 2000 && !Ignores_Sigterm(pid); ++i) usleep(10000);
    ASSERT_TRUE(Ignores_Sigterm(pid));
    kill(pid, SIGTERM);  // discarded: the signal is ignored
    kill(pid, SIGKILL);
    EXPECT_EQ(gwstest::Finish(pid, out, "/dev/null").signal, SIGKILL);
}

TEST_F(DomainTest, ToolsStartWithDefaultSignalHandling) {
    // A parent that ignores SIGTERM must not make a tool unkillable.
    Fault({"--tool", "probe", "--action", "hang"});
    signal(SIGTERM, SIG_IGN);
    pid_t pid = gwstest::Start(root, {PROBE_BIN}, "/dev/null", "/dev/null");
    signal(SIGTERM, SIG_DFL);
    for (int i = 0; i < 2000 && Calls().empty(); ++i) usleep(10000);
    ASSERT_EQ(Calls().size(), 1u);
    kill(pid, SIGTERM);
    EXPECT_EQ(gwstest::Finish(pid, "/dev/null", "/dev/null").signal, SIGTERM);
}

TEST_F(DomainTest, FaultCommandRejectsBadRules) {
    for (std::vector<std::string> bad : {std::vector<std::string>{"--tool", "gam", "--action", "explode"},
                                         {"--action", "fail"},
                                         {"--tool", "gam", "--action", "fail", "--times", "x"},
                                         {"--tool", "gam", "--action", "fail", "--exit", "300"}}) {
        std::vector<std::string> argv = {GWSSIM_CLI, "fault", root, "add"};
        argv.insert(argv.end(), bad.begin(), bad.end());
        EXPECT_EQ(Run(argv).status, 2) << bad.back();
    }
    Result list = Run({GWSSIM_CLI, "fault", root, "list"});
    EXPECT_EQ(list.status, 0);
    GwsJson o = Gwssim_Json_Parse(list.out);
    ASSERT_TRUE(o);
    json_object* rules = Gwssim_Json_Array(o.get(), "rules");
    EXPECT_TRUE(rules == nullptr || json_object_array_length(rules) == 0);
}
