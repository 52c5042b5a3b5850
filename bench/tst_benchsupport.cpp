// The measuring helpers of the benchmarks: a wrong percentile or a peak memory taken from
// the wrong process would publish wrong numbers without any error.

#include "benchsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace fiscal::bench;

namespace {

std::filesystem::path tempDir()
{
    char pattern[] = "/tmp/fiscal-bench-test-XXXXXX";
    const char *dir = mkdtemp(pattern);
    if (!dir)
        throw std::runtime_error("mkdtemp failed");
    return dir;
}

std::filesystem::path script(const std::filesystem::path &dir, const std::string &name, const std::string &body)
{
    const auto path = dir / name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
    return path;
}

std::string readFile(const std::filesystem::path &p)
{
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(BenchSupport, Percentiles)
{
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i)   // unsorted on purpose
        hundred.push_back(i);
    struct Case {
        std::vector<double> sample;
        double p;
        double expected;
    } cases[] = {
        {{}, 50, 0},
        {{7}, 50, 7},
        {{7}, 99, 7},
        {{3, 1, 2}, 50, 2},
        {{3, 1, 2}, 100, 3},
        {{3, 1, 2}, 0, 1},
        {hundred, 50, 50},
        {hundred, 90, 90},
        {hundred, 99, 99},
        {hundred, 100, 100},
    };
    for (const Case &c : cases)
        EXPECT_EQ(percentile(c.sample, c.p), c.expected) << "p" << c.p << " of " << c.sample.size() << " values";
    EXPECT_EQ(median({4, 1, 3, 2, 5}), 3);
}

TEST(BenchSupport, EngineFromUrl)
{
    const std::pair<const char *, bool> cases[] = {
        {"postgresql://fiscal@127.0.0.1:5432/fiscal", true},
        {"postgres://u@h/db", true},
        {"host=127.0.0.1 dbname=fiscal", true},
        {"dbname=fiscal", true},
        {"var/bench/large.sqlite", false},
        {"/tmp/postgresql.sqlite", false},
    };
    for (const auto &[url, pg] : cases) {
        EXPECT_EQ(isPostgres(url), pg) << url;
        EXPECT_EQ(engineName(url), pg ? "PostgreSQL" : "SQLite") << url;
    }
}

TEST(BenchSupport, AnotherDatabaseOnTheSameConnection)
{
    const std::pair<const char *, const char *> cases[] = {
        {"postgresql://fiscal@127.0.0.1:5432/fiscal", "postgresql://fiscal@127.0.0.1:5432/small"},
        {"postgresql://fiscal@/fiscal?host=/tmp/pg.x&port=5433", "postgresql://fiscal@/small?host=/tmp/pg.x&port=5433"},
        {"postgresql://h:1?sslmode=disable", "postgresql://h:1/small?sslmode=disable"},
        {"postgresql://h", "postgresql://h/small"},
        {"host=127.0.0.1 dbname=fiscal", "host=127.0.0.1 dbname=fiscal dbname=small"},
    };
    for (const auto &[url, expected] : cases)
        EXPECT_EQ(withDatabase(url, "small"), expected) << url;
}

TEST(BenchSupport, Options)
{
    const char *argv[] = {"bench", "--db", "x.sqlite", "--runs", "3", "--budget", "1.5"};
    const Options o = Options::parse(7, const_cast<char **>(argv));
    EXPECT_EQ(o.require("db"), "x.sqlite");
    EXPECT_EQ(o.integer("runs", 5), 3);
    EXPECT_EQ(o.integer("calls", 2000), 2000);
    EXPECT_EQ(o.number("budget", 0), 1.5);
    EXPECT_EQ(o.get("out"), "");
    EXPECT_THROW(o.require("server"), std::runtime_error);

    const char *dangling[] = {"bench", "--db"};
    EXPECT_THROW(Options::parse(2, const_cast<char **>(dangling)), std::runtime_error);
    const char *bare[] = {"bench", "db", "x"};
    EXPECT_THROW(Options::parse(3, const_cast<char **>(bare)), std::runtime_error);
}

// The peak of a child is its own, not the high-water mark of the forked copy of a big
// parent; a wrapper that execs the real tool is followed; failures are never timings.
TEST(BenchSupport, ChildProcesses)
{
    std::vector<char> ballast(256u << 20);
    std::memset(ballast.data(), 1, ballast.size());   // this process now holds 256 MiB
    ASSERT_GT(ownPeakKiB(), 200L * 1024);

    const ProcessRun small = runProcess({"true"});
    EXPECT_EQ(small.exitCode, 0);
    EXPECT_GT(small.peakKiB, 0);
    EXPECT_LT(small.peakKiB, 64L * 1024) << "the child's peak includes its parent's memory";

    const ProcessRun wrapped = runProcess({"sh", "-c", "exec true"});
    EXPECT_EQ(wrapped.exitCode, 0);
    EXPECT_LT(wrapped.peakKiB, 64L * 1024);

    // A shell holding a 96 MB string: its peak must show it.
    const ProcessRun big = runProcess({"sh", "-c", "x=$(head -c 96000000 /dev/zero | tr '\\0' a); echo ${#x}"});
    EXPECT_GT(big.peakKiB, 90L * 1024);

    struct Failing {
        std::vector<std::string> argv;
        double timeout;
    } failing[] = {
        {{"sh", "-c", "exit 3"}, 60},
        {{"sh", "-c", "kill -TERM $$"}, 60},
        {{"/nonexistent/tool"}, 60},
        {{"sleep", "30"}, 0.2},   // killed at the timeout, not reported as a run
    };
    for (const Failing &f : failing)
        EXPECT_THROW(runProcess(f.argv, f.timeout), std::runtime_error) << f.argv.front();
}

TEST(BenchSupport, ServerChildReadsThePort)
{
    const auto dir = tempDir();
    const auto good = script(dir, "good", "echo \"listening on 127.0.0.1:4321\"\nexec sleep 30");
    {
        ServerChild s(good.string(), "ignored.sqlite");
        EXPECT_EQ(s.port(), 4321);
        EXPECT_GT(peakKiB(s.pid()), 0);
        EXPECT_EQ(s.stop(), 128 + 15);   // SIGTERM ended it
    }
    const char *bad[] = {"echo \"cannot open database\" >&2\nexit 1", "echo \"something else\"\nexec sleep 30"};
    for (const char *body : bad)
        EXPECT_THROW(ServerChild(script(dir, "bad", body).string(), "ignored.sqlite"), std::runtime_error) << body;
    std::filesystem::remove_all(dir);
}

TEST(BenchSupport, ReportAppendsMarkdown)
{
    const auto dir = tempDir();
    const auto out = dir / "results.md";
    Report first("First (SQLite)", "a note");
    first.add({"met", "1.000 ms", "1.200 ms", 1.2, "≤ 1.5×", true, "server 10 MiB"});
    first.add({"missed", "1.000 ms", "3.000 ms", 3.0, "≤ 1.5×", false, ""});
    first.add({"no goal", "1 MiB", "2 MiB", 2.0, "(reported)", std::nullopt, ""});
    first.write(out.string());
    Report("Second", {}).write(out.string());

    const std::string text = readFile(out);
    const std::string expected[] = {
        "### First (SQLite)\n",
        "| met | 1.000 ms | 1.200 ms | 1.20× | ≤ 1.5× | yes | server 10 MiB |\n",
        "| missed | 1.000 ms | 3.000 ms | 3.00× | ≤ 1.5× | **no** |  |\n",
        "| no goal | 1 MiB | 2 MiB | 2.00× | (reported) |  |  |\n",
        "a note\n",
        "### Second\n",
    };
    for (const std::string &e : expected)
        EXPECT_NE(text.find(e), std::string::npos) << e;
    EXPECT_LT(text.find("### First"), text.find("### Second"));
    std::filesystem::remove_all(dir);
}

TEST(BenchSupport, Formatting)
{
    const std::pair<std::string, std::string> cases[] = {
        {fmtMs(0.000164), "0.164 ms"},
        {fmtMs(0.0512), "51.20 ms"},
        {fmtMs(2.5674), "2567 ms"},
        {fmtMiB(2048), "2 MiB"},
        {fmtCount(600659), "600659"},
        {fmtCount(12.34), "12.3"},
        {fmtRatio(2.414), "2.41×"},
        {fmtSeconds(12.34), "12.3 s"},
    };
    for (const auto &[got, want] : cases)
        EXPECT_EQ(got, want);
}
