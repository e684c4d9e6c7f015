// parlevod's configuration file: its reading, how it meets the command line,
// and a real parlevod started with one. Also the journal's stream check.
#include "text/textfuncs.h"
#include "configfile.h"
#include "log.h"
#include "support/lobbyclient.h"
#include "support/runprogram.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace {

std::string LoadError(const std::vector<std::string>& args)
{
    try {
        LoadOptions(args);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "(no error)";
}

std::string ArgumentsError(const std::string& text)
{
    TConfigText parsed = ParseConfigText(text);
    if (!parsed.error.empty())
        return parsed.error;
    try {
        ConfigArguments(parsed.entries);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "(no error)";
}

} // namespace

TEST(ConfigText, ReadsNamesValuesCommentsAndQuotes)
{
    const TConfigText parsed = ParseConfigText("# parlevod\r\n"
                                               "\r\n"
                                               "   # an indented comment\n"
                                               "lobby-port=29001\n"
                                               "  bind   =  127.0.0.1   # the loopback only\n"
                                               "motd-file = /srv/news#1.txt\n"
                                               "game-keys = \"/srv/my keys # 2\"  # quoted\n"
                                               "min-version =\n"
                                               "\tchat-rate\t=\t2.5");
    ASSERT_EQ(parsed.error, "");
    const std::vector<std::tuple<std::string, std::string, int>> expected = {
        {"lobby-port", "29001", 4}, {"bind", "127.0.0.1", 5}, {"motd-file", "/srv/news#1.txt", 6},
        {"game-keys", "/srv/my keys # 2", 7}, {"min-version", "", 8}, {"chat-rate", "2.5", 9}};
    ASSERT_EQ(parsed.entries.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(parsed.entries[i].name, std::get<0>(expected[i]));
        EXPECT_EQ(parsed.entries[i].value, std::get<1>(expected[i]));
        EXPECT_EQ(parsed.entries[i].line, std::get<2>(expected[i]));
    }
}

TEST(ConfigText, NamesTheFirstLineItCannotRead)
{
    EXPECT_EQ(ParseConfigText("bind = 1.2.3.4\nlobby-port 29001\nhttp-port = 1\n").error,
              "line 2: expected 'name = value'");
    EXPECT_EQ(ParseConfigText("= 5\n").error, "line 1: expected 'name = value'");
    EXPECT_EQ(ParseConfigText("motd-file = \"/srv/news\n").error, "line 1: the closing quote is missing");
    EXPECT_EQ(ParseConfigText("motd-file = \"/srv/news\" more\n").error, "line 1: text after the quoted value");
    EXPECT_EQ(ParseConfigText("\n\nbind = 1.2.3.4\x01\n").error, "line 3: a control character in the value");
    // What came before the bad line is kept; nothing after it.
    const TConfigText parsed = ParseConfigText("bind = 1.2.3.4\nbroken\nhttp-port = 1\n");
    ASSERT_EQ(parsed.entries.size(), 1u);
    EXPECT_EQ(parsed.entries[0].name, "bind");
}

TEST(ConfigText, EntriesBecomeCheckedOptions)
{
    TConfigText parsed = ParseConfigText("lobby-port = 0\nno-flood-limit = Yes\nbind = ::1\n");
    EXPECT_EQ(ConfigArguments(parsed.entries),
              (std::vector<std::string>{"--lobby-port", "0", "--no-flood-limit", "--bind", "::1"}));
    for (const char* off : {"no", "false", "off", "0"})
        EXPECT_TRUE(ConfigArguments(ParseConfigText(std::string("no-flood-limit = ") + off).entries).empty()) << off;

    EXPECT_EQ(ArgumentsError("bind = 0.0.0.0\nbogus = 1\n"), "line 2: unknown option '--bogus' (see --help)");
    EXPECT_EQ(ArgumentsError("lobby-port = 70000"),
              "line 1: --lobby-port: expected a whole number from 0 to 65535, got '70000'");
    EXPECT_EQ(ArgumentsError("chat-rate = fast"), "line 1: --chat-rate: expected a positive number, got 'fast'");
    EXPECT_EQ(ArgumentsError("no-flood-limit = maybe"), "line 1: no-flood-limit takes yes or no, got 'maybe'");
    EXPECT_EQ(ArgumentsError("config = /etc/other.conf"), "line 1: 'config' belongs on the command line");
    EXPECT_EQ(ArgumentsError("help = yes"), "line 1: 'help' belongs on the command line");
}

// Every row of the option table is read back from a configuration file
// with the default its help shows: a row whose range shuts out its own
// default, or whose default is shown in a form it cannot read, fails here.
TEST(ConfigText, EveryOptionTakesTheDefaultItsHelpShows)
{
    const TServerOptions defaults;
    const std::string usage = UsageText();
    for (const TServerOption& row : ServerOptionTable()) {
        if (row.name.empty() || row.Switch() || row.name == "--config")
            continue;
        EXPECT_NE(usage.find("  " + row.name + " " + row.valueName), std::string::npos) << row.name;
        if (!row.shownDefault)
            continue;
        const std::string shown = row.shownDefault(defaults);
        const std::string text = row.name.substr(2) + " = \"" + shown + "\"\n";
        const TServerOptions read = ParseOptions(ConfigArguments(ParseConfigText(text).entries));
        EXPECT_EQ(row.shownDefault(read), shown) << row.name;
    }
}

TEST(ConfigFile, TheCommandLineWinsWhereverItStands)
{
    TempDir dir;
    const std::string file = dir.Write("parlevod.conf", "per-address = 1\nper-address = 3\nmax-clients = 7\n"
                                                        "motd-file = /srv/news.txt\nno-flood-limit = yes\n");
    const TServerOptions fromFile = LoadOptions({"--config", file});
    EXPECT_EQ(fromFile.configFile, file);
    EXPECT_EQ(fromFile.limits.perAddress, 3u);   // the last of a name given twice
    EXPECT_EQ(fromFile.limits.maxClients, 7u);
    EXPECT_EQ(fromFile.motd.file, "/srv/news.txt");
    EXPECT_FALSE(fromFile.limits.floodLimit);

    for (const auto& args : {std::vector<std::string>{"--per-address", "9", "--config", file},
                             std::vector<std::string>{"--config", file, "--per-address", "9"}}) {
        const TServerOptions o = LoadOptions(args);
        EXPECT_EQ(o.limits.perAddress, 9u);
        EXPECT_EQ(o.limits.maxClients, 7u);
    }
    // Without a file nothing is read; with --help the file is not needed.
    EXPECT_EQ(LoadOptions({}).limits.perAddress, TLobbyLimits{}.perAddress);
    EXPECT_TRUE(LoadOptions({"--config", dir.File("missing.conf"), "--help"}).help);
}

TEST(ConfigFile, SaysWhichFileAndLineStoppedIt)
{
    TempDir dir;
    EXPECT_EQ(LoadError({"--config", dir.File("missing.conf")}),
              "cannot read the configuration file " + dir.File("missing.conf") + ": No such file or directory");
    EXPECT_EQ(LoadError({"--config", dir.path()}),
              "cannot read the configuration file " + dir.path() + ": not a regular file");
    const std::string bad = dir.Write("bad.conf", "# fine\nlobby-port = 29001\nlobby-port: 2\n");
    EXPECT_EQ(LoadError({"--config", bad}), bad + " line 3: expected 'name = value'");
    const std::string unknown = dir.Write("unknown.conf", "\nbogus = 1\n");
    EXPECT_EQ(LoadError({"--config", unknown}), unknown + " line 2: unknown option '--bogus' (see --help)");
    // A bad command line is told as before, file or not.
    EXPECT_EQ(LoadError({"--config", unknown, "--lobby-port"}), "--lobby-port: missing value");
    const std::string huge = dir.Write("huge.conf", std::string(2 << 20, '#'));
    EXPECT_NE(LoadError({"--config", huge}).find("larger than 1048576 bytes"), std::string::npos);
}

TEST(JournalStream, MatchesOnlyTheStreamItNames)
{
    TempDir dir;
    const int fd = open(dir.Write("log", "").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    const std::string mine = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    EXPECT_TRUE(IsJournalStream(mine.c_str(), fd));
    EXPECT_FALSE(IsJournalStream((std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1)).c_str(), fd));
    EXPECT_FALSE(IsJournalStream((mine + "x").c_str(), fd));
    EXPECT_FALSE(IsJournalStream("", fd));
    EXPECT_FALSE(IsJournalStream(nullptr, fd));
    EXPECT_FALSE(IsJournalStream(mine.c_str(), -1));
    close(fd);
}

TEST(ParlevodConfig, StartsWithTheFileAndTheCommandLineOnTop)
{
    TempDir dir;
    const std::string news = dir.Write("news.txt", "MOTD\nHello from the file\n");
    // The file asks for one connection an address; the command line for two.
    const std::string file = dir.Write("parlevod.conf", "name-deadline = 300\nper-address = 1\n"
                                                        "motd-file = " + news + "\n");
    TParlevodProcess server({"--config", file, "--per-address", "2"});
    EXPECT_TRUE(server.WaitForLog("options read from " + file));
    EXPECT_TRUE(server.WaitForLog("news file " + news + ": 0 header lines")) << server.LogText();

    TLobbyTestClient first, second, third;
    ASSERT_TRUE(first.Connect(server.Port()));
    ASSERT_TRUE(second.Connect(server.Port()));
    ASSERT_TRUE(third.Connect(server.Port()));
    auto refusal = third.WaitFor(cmMessage, 2000);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(LookupValue(refusal->param, "message"), "Too many connections from your address.");
    // Nobody named itself: the file's deadline ends both admitted connections.
    EXPECT_TRUE(first.WaitClosed(3000));
    EXPECT_TRUE(second.WaitClosed(3000));
    EXPECT_TRUE(server.WaitForLog("no name within 300 ms")) << server.LogText();
}

TEST(ParlevodConfig, ABadFileStopsItWithTheLineNamed)
{
    TempDir dir;
    const std::string file = dir.Write("parlevod.conf", "bind = 127.0.0.1\nlobby-port = many\n");
    TRunResult run = RunProgram({TParlevodProcess::BinaryPath("parlevod"), "--config", file}, 10000);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "parlevod: " + file + " line 2: --lobby-port: expected a whole number from 0 to 65535, "
                       "got 'many'\n");
}
