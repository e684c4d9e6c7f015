// The two Debian packages as a player and an operator get them: lintian's
// verdict, their dependencies and files, and their programs run from a
// temporary root they were unpacked into (the server as its service unit
// starts it, the client headless against it).
#include "platform/regstore.h"
#include "support/childprocess.h"
#include "support/parlevodprocess.h"
#include "support/runprogram.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string PackageFile(const std::string& name)
{
    for (const auto& entry : fs::directory_iterator(QP_PACKAGES_DIR)) {
        const std::string file = entry.path().filename().string();
        if (file.rfind(name + "_", 0) == 0 && entry.path().extension() == ".deb")
            return entry.path().string();
    }
    ADD_FAILURE() << "no package " << name << " in " << QP_PACKAGES_DIR;
    return {};
}

std::string Field(const std::string& deb, const std::string& field)
{
    TRunResult r = RunProgram({"dpkg-deb", "-f", deb, field}, 30000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    while (!r.out.empty() && r.out.back() == '\n')
        r.out.pop_back();
    return r.out;
}

// The package's paths ("/usr/bin/x") with the targets of its links ("/usr/bin/x -> ../y").
std::set<std::string> Contents(const std::string& deb)
{
    TRunResult r = RunProgram({"dpkg-deb", "-c", deb}, 30000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::set<std::string> paths;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        const std::size_t at = line.find(" ./");
        if (at != std::string::npos)
            paths.insert(line.substr(at + 2));
    }
    return paths;
}

// Both packages unpacked into one temporary root.
class TUnpacked {
public:
    TUnpacked()
    {
        for (const char* name : {"quillet-peer", "parlevod"}) {
            TRunResult r = RunProgram({"dpkg-deb", "-x", PackageFile(name), root_.path()}, 60000);
            EXPECT_EQ(r.exitCode, 0) << name << ": " << r.err;
        }
    }
    std::string operator()(const std::string& path) const { return root_.path() + path; }

private:
    TempDir root_;
};

// The long options a program's --help lists.
std::set<std::string> HelpOptions(const std::string& help)
{
    std::set<std::string> options;
    const std::regex option("(^|\\s)(--[a-z][a-z-]*)");
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option); it != std::sregex_iterator(); ++it)
        options.insert((*it)[2]);
    return options;
}

} // namespace

TEST(Packages, LintianReportsNoErrors)
{
    for (const char* name : {"quillet-peer", "parlevod"}) {
        const std::string deb = PackageFile(name);
        TRunResult r = RunProgram({"lintian", "--no-tag-display-limit", deb}, 600000);
        // lintian's exit status counts warnings too: the errors are what must not be.
        EXPECT_NE(r.exitCode, -1) << name << ": lintian did not finish\n" << r.err;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);)
            EXPECT_NE(line.rfind("E: ", 0), 0u) << line;
        std::cout << "lintian " << name << ":\n" << (r.out.empty() ? "(nothing)\n" : r.out);
    }
}

TEST(Packages, OnlyTheClientNeedsQtAndEachHoldsItsFiles)
{
    const std::string client = PackageFile("quillet-peer");
    const std::string server = PackageFile("parlevod");
    EXPECT_EQ(Field(client, "Package"), "quillet-peer");
    EXPECT_EQ(Field(server, "Package"), "parlevod");
    const std::string clientDepends = Field(client, "Depends");
    const std::string serverDepends = Field(server, "Depends");
    EXPECT_NE(clientDepends.find("libqt6widgets6"), std::string::npos) << clientDepends;
    EXPECT_EQ(serverDepends.find("qt"), std::string::npos) << serverDepends;
    EXPECT_NE(serverDepends.find("libc6"), std::string::npos) << serverDepends;

    const std::set<std::string> c = Contents(client);
    for (const char* path : {"/usr/lib/quillet-peer/quillet-peer", "/usr/bin/quillet-query",
                             "/usr/share/quillet-peer/unrealskins/default/skin.ini",
                             "/usr/share/applications/quillet-peer.desktop",
                             "/usr/share/icons/hicolor/scalable/apps/quillet-peer.svg",
                             "/usr/share/man/man1/quillet-peer.1.gz", "/usr/share/man/man1/quillet-query.1.gz",
                             "/usr/share/doc/quillet-peer/copyright",
                             "/usr/share/doc/quillet-peer/changelog.Debian.gz",
                             "/usr/bin/quillet-peer -> ../lib/quillet-peer/quillet-peer",
                             "/usr/lib/quillet-peer/unrealskins -> ../../share/quillet-peer/unrealskins"})
        EXPECT_EQ(c.count(path), 1u) << path;
    const std::set<std::string> s = Contents(server);
    for (const char* path : {"/usr/sbin/parlevod", "/etc/parlevod.conf", "/etc/parlevod/news.txt",
                             "/usr/lib/systemd/system/parlevod.service", "/usr/share/man/man8/parlevod.8.gz",
                             "/usr/share/doc/parlevod/copyright", "/usr/share/doc/parlevod/changelog.Debian.gz"})
        EXPECT_EQ(s.count(path), 1u) << path;
    // Nothing of one package in the other.
    EXPECT_EQ(c.count("/usr/sbin/parlevod"), 0u);
    EXPECT_EQ(s.count("/usr/lib/quillet-peer/quillet-peer"), 0u);

    // The operator's files survive upgrades.
    TRunResult conffiles = RunProgram({"dpkg-deb", "-I", server, "conffiles"}, 30000);
    EXPECT_EQ(conffiles.out, "/etc/parlevod.conf\n/etc/parlevod/news.txt\n");
}

TEST(UnpackedPackages, ParlevodHelpListsWhatItsManualDescribes)
{
    TUnpacked root;
    TRunResult help = RunProgram({root("/usr/sbin/parlevod"), "--help"}, 10000);
    ASSERT_EQ(help.exitCode, 0) << help.err;
    EXPECT_EQ(help.out.rfind("Usage: parlevod", 0), 0u) << help.out;
    TRunResult manual = RunProgram({"man", "-l", root("/usr/share/man/man8/parlevod.8.gz")}, 30000,
                                   {{"MANWIDTH", "120"}, {"MAN_KEEP_FORMATTING", ""}});
    ASSERT_EQ(manual.exitCode, 0) << manual.err;
    const std::set<std::string> options = HelpOptions(help.out);
    EXPECT_GE(options.size(), 25u);
    for (const std::string& option : options)
        EXPECT_NE(manual.out.find(option), std::string::npos) << option << " is not in parlevod(8)";

    TRunResult query = RunProgram({root("/usr/bin/quillet-query"), "--help"}, 10000);
    EXPECT_EQ(query.exitCode, 0) << query.err;
    EXPECT_NE(query.out.find("Usage: quillet-query"), std::string::npos);
}

TEST(UnpackedPackages, ClientRunsHeadlessAgainstTheServerStartedAsItsUnitStartsIt)
{
    TUnpacked root;
    // The unit's command line, with the unpacked paths; on top of it the
    // loopback address and free ports, and the unpacked news file (the
    // command line wins over the packaged configuration).
    const std::string unit = ReadFileText(root("/usr/lib/systemd/system/parlevod.service"));
    ASSERT_NE(unit.find("ExecStart=/usr/sbin/parlevod --config /etc/parlevod.conf\n"), std::string::npos) << unit;
    setenv("QP_BUILD_BIN", root("/usr/sbin").c_str(), 1);
    TParlevodProcess server({"--config", root("/etc/parlevod.conf"), "--motd-file", root("/etc/parlevod/news.txt")});
    EXPECT_TRUE(server.WaitForLog("options read from " + root("/etc/parlevod.conf"), 1000));
    EXPECT_TRUE(server.WaitForLog("news file " + root("/etc/parlevod/news.txt"), 1000)) << server.LogText();

    TempDir home;
    TempDir game;
    game.Write("shadow.exe", "MZ");
    platform::RegistryStore store(home.File("parlevo/hkcu.reg"));
    ASSERT_TRUE(store.WriteStrings("Software\\Parlevo\\quillet\\scompany\\config",
                                   {{"nick_Text", "Packager"}, {"program_dir_Text", game.path() + "/"}}));
    ASSERT_TRUE(store.WriteString("Software\\Parlevo\\quillet\\scompany", "lobbyhost",
                                  "127.0.0.1:" + std::to_string(server.Port())));
    // Started through the link on PATH's folder, as the desktop entry does.
    TChildProcess client({.args = {root("/usr/bin/quillet-peer")},
                          .env = {{"XDG_CONFIG_HOME", home.path()}, {"QT_QPA_PLATFORM", "offscreen"}}});
    ASSERT_TRUE(client.Started()) << client.Error();
    EXPECT_TRUE(server.WaitForLog("'Packager' named", 15000)) << server.LogText() << "\nclient:\n"
                                                              << client.Output(TChildProcess::TStream::Err);
    EXPECT_FALSE(client.WaitExit(300)) << client.Output(TChildProcess::TStream::Err);
    client.Stop();
    // Its skins, where the program looks for them: beside it.
    EXPECT_NE(ReadFileText(root("/usr/lib/quillet-peer/unrealskins/default/skin.ini")).find("[colors]"),
              std::string::npos);
}

TEST(UnpackedPackages, ServiceUnitAndDesktopEntryPassTheirCheckers)
{
    TUnpacked root;
    const std::string unit = root("/usr/lib/systemd/system/parlevod.service");
    // Checked on this system with the program the package would put in place.
    TempDir copy;
    std::string text = ReadFileText(unit);
    const std::string program = "/usr/sbin/parlevod";
    const std::size_t at = text.find("ExecStart=" + program + " ");
    ASSERT_NE(at, std::string::npos) << text;
    text.replace(at + 10, program.size(), root(program));
    TRunResult verify =
        RunProgram({"systemd-analyze", "verify", "--man=no", copy.Write("parlevod.service", text)}, 60000);
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    // systemd's own rating of the sandbox: "OK" is 2.0 or less of 10.
    TRunResult security = RunProgram({"systemd-analyze", "security", "--offline=yes", "--no-pager", unit}, 60000);
    std::smatch level;
    ASSERT_TRUE(std::regex_search(security.out, level, std::regex("exposure level for [^:]+: ([0-9.]+)")))
        << security.out << security.err;
    EXPECT_LE(std::stod(level[1]), 2.0) << security.out;
    TRunResult desktop =
        RunProgram({"desktop-file-validate", root("/usr/share/applications/quillet-peer.desktop")}, 30000);
    EXPECT_EQ(desktop.exitCode, 0) << desktop.out << desktop.err;
}
