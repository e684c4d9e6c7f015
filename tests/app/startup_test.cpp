// The client program as a user starts it: a real process on the offscreen
// platform, connecting to a real parlevod with the settings of a fresh store.
#include "platform/regstore.h"
#include "support/lobbyclient.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

TEST(ClientProgram, StartsConnectsNamesItselfAndStaysUpUntilEnded)
{
    TParlevodProcess server;
    TempDir home;
    TempDir game;
    game.Write("shadow.exe", "MZ");
    platform::RegistryStore store(home.File("parlevo/hkcu.reg"));
    ASSERT_TRUE(store.WriteStrings("Software\\Parlevo\\quillet\\scompany\\config",
                                   {{"nick_Text", "Starter"}, {"program_dir_Text", game.path() + "/"}}));
    ASSERT_TRUE(store.WriteString("Software\\Parlevo\\quillet\\scompany", "lobbyhost",
                                  "127.0.0.1:" + std::to_string(server.Port())));

    const std::string program = TParlevodProcess::BinaryPath("quillet-peer");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    bool named = false;
    for (int i = 0; i < 100 && !named; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        named = server.LogText().find("'Starter' named") != std::string::npos;
    }
    EXPECT_TRUE(named) << server.LogText();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the client ended on its own";
    kill(child, SIGTERM);
    waitpid(child, &status, 0);

    // The first start wrote an installation code into the store.
    std::string code;
    EXPECT_TRUE(store.ReadString("Software\\Parlevo\\quillet\\scompany", "code", code));
    EXPECT_EQ(code.size(), 19u);
}
