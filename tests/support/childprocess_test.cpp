// The child-process helper the integration tests stand on.
#include "support/childprocess.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

namespace {

using TStream = TChildProcess::TStream;

bool Gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

} // namespace

TEST(ChildProcess, ArgumentsEnvironmentFolderAndALineConversation)
{
    TempDir dir;
    TChildProcess child({.args = {"sh", "-c", "echo \"$GREETING from $(pwd)\"; echo to-err >&2; "
                                              "read line; echo \"got $line\"; exec sleep 60"},
                         .env = {{"GREETING", "hello"}},
                         .cwd = dir.path(),
                         .pipeStdin = true});
    ASSERT_TRUE(child.Started()) << child.Error();
    EXPECT_TRUE(child.WaitForLine(TStream::Err, "to-err", 5000));
    auto first = child.ReadLine(TStream::Out, 5000);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, "hello from " + dir.path());
    ASSERT_TRUE(child.Write("ping\n"));
    EXPECT_EQ(child.ReadLine(TStream::Out, 5000), "got ping");
    // WaitForLine looks from the beginning, whatever ReadLine has taken.
    EXPECT_TRUE(child.WaitForLine(TStream::Out, "hello", 0));
    EXPECT_EQ(child.Output(TStream::Out), "hello from " + dir.path() + "\ngot ping\n");

    EXPECT_FALSE(child.WaitExit(50));
    const pid_t pid = child.Pid();
    child.Stop(100);
    EXPECT_FALSE(child.Running());
    EXPECT_TRUE(WIFSIGNALED(child.ExitStatus()));
    EXPECT_TRUE(Gone(pid));
    EXPECT_FALSE(child.Write("late\n"));   // no SIGPIPE, no crash
}

TEST(ChildProcess, AnEndedProgramEndsTheWaitAndItsLastLineCounts)
{
    TChildProcess child({.args = {"sh", "-c", "echo first; printf 'no line end'; exit 3"}});
    ASSERT_TRUE(child.Started());
    EXPECT_FALSE(child.WaitForLine(TStream::Out, "never written", 60000));
    EXPECT_TRUE(child.WaitExit(0));
    EXPECT_EQ(WEXITSTATUS(child.ExitStatus()), 3);
    EXPECT_EQ(child.ReadLine(TStream::Out, 0), "first");
    EXPECT_EQ(child.ReadLine(TStream::Out, 0), "no line end");
    EXPECT_FALSE(child.ReadLine(TStream::Out, 0));
}

TEST(ChildProcess, AProgramThatCannotRunIsReportedAndStopTakesItsWholeGroup)
{
    TChildProcess missing({.args = {"/nonexistent/folder/program"}});
    EXPECT_FALSE(missing.Started());
    EXPECT_NE(missing.Error().find("No such file"), std::string::npos) << missing.Error();

    // A server that forks (as nginx and FTP servers do): its children go too.
    pid_t grandchild = 0;
    int watch = -1;   // the grandchild's process descriptor: readable once it has ended
    {
        TChildProcess server({.args = {"sh", "-c", "sleep 60 & echo $!; wait"}});
        auto line = server.ReadLine(TStream::Out, 5000);
        ASSERT_TRUE(line);
        grandchild = pid_t(std::stol(*line));
        watch = int(syscall(SYS_pidfd_open, grandchild, 0));
        ASSERT_GE(watch, 0) << std::strerror(errno);
        ASSERT_FALSE(Gone(grandchild));
    }
    // It has had SIGTERM; it is gone (or a zombie, if nobody reaps here) soon after.
    pollfd ended{watch, POLLIN, 0};
    EXPECT_EQ(poll(&ended, 1, 5000), 1);
    close(watch);
    const std::string stat = ReadFileText("/proc/" + std::to_string(grandchild) + "/stat");
    EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << stat;
}
