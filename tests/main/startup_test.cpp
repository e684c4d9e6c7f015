// The client program as a user starts it: a real process on the offscreen
// platform, connecting to a real parlevod with the settings of a fresh store.
#include "platform/regstore.h"
#include "support/childprocess.h"
#include "support/parlevodprocess.h"
#include "support/tempdir.h"

#include <gtest/gtest.h>

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

    TChildProcess client({.args = {TParlevodProcess::BinaryPath("quillet-peer")},
                          .env = {{"XDG_CONFIG_HOME", home.path()}, {"QT_QPA_PLATFORM", "offscreen"}}});
    ASSERT_TRUE(client.Started()) << client.Error();
    EXPECT_TRUE(server.WaitForLog("'Starter' named", 5000)) << server.LogText();
    EXPECT_FALSE(client.WaitExit(300)) << "the client ended on its own\n"
                                       << client.Output(TChildProcess::TStream::Err);
    client.Stop();

    // The first start wrote an installation code into the store.
    std::string code;
    EXPECT_TRUE(store.ReadString("Software\\Parlevo\\quillet\\scompany", "code", code));
    EXPECT_EQ(code.size(), 19u);
}
