#include "configfixture.h"

#include "config/exesearch.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QToolButton>

#include <cstdlib>
#include <filesystem>

namespace {

// Folders of the test standing in for the fixed disks while alive.
class ScopedFixedDisks {
public:
    explicit ScopedFixedDisks(const std::string& list)
    {
        if (const char* old = std::getenv("QP_FIXED_DISKS"))
            old_ = old, hadOld_ = true;
        setenv("QP_FIXED_DISKS", list.c_str(), 1);
    }
    ~ScopedFixedDisks()
    {
        if (hadOld_)
            setenv("QP_FIXED_DISKS", old_.c_str(), 1);
        else
            unsetenv("QP_FIXED_DISKS");
    }

private:
    std::string old_;
    bool hadOld_ = false;
};

class ExeSearchTest : public ConfigFormTest {
protected:
    // Two disks, "c" and "d", as folders.
    TempDir disks;
    std::string c = disks.MakeDir("c");
    std::string d = disks.MakeDir("d");
    ScopedFixedDisks fixed{c + ":" + d};
    TScriptedDialogs dialogs;

    std::vector<std::string> visited;
    std::unique_ptr<Tconfig_form> Searcher()
    {
        auto form = Make();
        form->OnSearchFolder = [this](const std::string& folder) { visited.push_back(folder); };
        return form;
    }
};

std::vector<std::string> Scan(const std::string& top, std::string& found)
{
    std::vector<std::string> entered;
    found = FindFileInTree(top, "shadow.exe", [&](const std::string& f) {
        entered.push_back(f);
        return true;
    });
    return entered;
}

} // namespace

TEST_F(ExeSearchTest, CandidatesGameFoldersOfEveryDiskThenTheDisks)
{
    // On disk d the program folder is spelt with capitals.
    std::string programFiles = disks.MakeDir("d/Program Files/shadow company");
    auto candidates = ExecutableSearchCandidates({c + "/", d + "/"}, "Shadow Company");
    std::vector<std::string> expected = {c + "/Shadow Company", c + "/games/Shadow Company",
                                         c + "/program files/Shadow Company", d + "/Shadow Company",
                                         d + "/games/Shadow Company", programFiles, c + "/", d + "/"};
    EXPECT_EQ(candidates, expected);
}

TEST_F(ExeSearchTest, TreeScanIsDepthFirstInNameOrder)
{
    TempDir t;
    t.Write("b/shadow.exe", "MZ");
    t.Write("A/deep/SHADOW.EXE", "MZ");
    t.MakeDir("A/Before");
    t.MakeDir("c");
    std::string found;
    auto entered = Scan(t.path(), found);
    EXPECT_EQ(found, t.File("A/deep"));   // letter case ignored, no trailing separator
    EXPECT_EQ(entered, (std::vector<std::string>{t.path(), t.File("A"), t.File("A/Before"), t.File("A/deep")}));

    // Files of a folder come before its subfolders.
    t.Write("Shadow.Exe", "MZ");
    entered = Scan(t.path() + "/", found);
    EXPECT_EQ(found, t.path());
    EXPECT_EQ(entered.size(), 1u);

    // A folder that does not exist yields nothing.
    EXPECT_TRUE(Scan(t.File("missing"), found).empty());
    EXPECT_EQ(found, "");
}

TEST_F(ExeSearchTest, TreeScanEntersEachFolderOnceThroughLinks)
{
    TempDir t;
    t.MakeDir("a/b");
    std::filesystem::create_directory_symlink(t.path(), t.File("a/b/up"));
    std::filesystem::create_directory_symlink(t.File("a"), t.File("also-a"));
    std::string found;
    auto entered = Scan(t.path(), found);
    EXPECT_EQ(found, "");
    EXPECT_EQ(entered.size(), 3u);   // the top, a and a/b

    // Abandoned when the folder callback says so.
    int calls = 0;
    t.Write("a/b/shadow.exe", "MZ");
    EXPECT_EQ(FindFileInTree(t.path(), "shadow.exe", [&](const std::string&) { return ++calls < 2; }), "");
    EXPECT_EQ(calls, 2);
}

TEST_F(ExeSearchTest, SearchVisitsTheGameFoldersOfAllDisksBeforeTheDisks)
{
    disks.Write("c/other/shadow.exe", "MZ");
    disks.Write("d/program files/Shadow Company/bin/shadow.exe", "MZ");
    auto form = Searcher();
    form->SetProgramDirText("/old");
    form->dirfind_butt->click();
    EXPECT_EQ(form->ProgramDirText(), d + "/program files/Shadow Company/bin");
    EXPECT_EQ(visited.front(), d + "/program files/Shadow Company");
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_FALSE(form->searching);
    EXPECT_FALSE(form->findanim->isVisibleTo(form.get()));

    // Once the game folders are empty the disks themselves are scanned, c first.
    std::filesystem::remove_all(d + "/program files");
    disks.Write("d/shadow.exe", "MZ");
    visited.clear();
    form->dirfind_butt->click();
    EXPECT_EQ(form->ProgramDirText(), c + "/other");
    EXPECT_EQ(visited.front(), c);
}

TEST_F(ExeSearchTest, SecondClickStopsAfterTheCurrentCandidate)
{
    disks.MakeDir("c/Shadow Company/one");
    disks.MakeDir("c/Shadow Company/two");
    disks.Write("c/games/Shadow Company/shadow.exe", "MZ");
    auto form = Searcher();
    form->OnSearchFolder = [&](const std::string& folder) {
        visited.push_back(folder);
        if (visited.size() == 1) {
            EXPECT_TRUE(form->searching);
            EXPECT_TRUE(form->findanim->isVisibleTo(form.get()));
            form->dirfind_butt->click();   // stop
            form->dirfind_butt->click();   // ignored while the stop is pending
        }
    };
    form->dirfind_butt->click();
    // The candidate being scanned was finished; the next one was never entered.
    EXPECT_EQ(visited, (std::vector<std::string>{c + "/Shadow Company", c + "/Shadow Company/one",
                                                 c + "/Shadow Company/two"}));
    EXPECT_EQ(form->ProgramDirText(), "");
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "shadow.exe was not found");
    EXPECT_EQ(dialogs.shown[0].kind, platform::DialogKind::Plain);
    EXPECT_FALSE(form->searching);

    // The next click searches again.
    visited.clear();
    form->OnSearchFolder = [&](const std::string& folder) { visited.push_back(folder); };
    form->dirfind_butt->click();
    EXPECT_EQ(form->ProgramDirText(), c + "/games/Shadow Company");
}

TEST_F(ExeSearchTest, NothingFoundIsReported)
{
    disks.Write("c/readme.txt", "x");
    auto form = Searcher();
    form->SetProgramDirText("/old");
    form->dirfind_butt->click();
    EXPECT_EQ(form->ProgramDirText(), "");
    EXPECT_TRUE(dialogs.Saw("shadow.exe was not found"));
    EXPECT_FALSE(form->searching);
    EXPECT_FALSE(form->findanim->isVisibleTo(form.get()));
}
