// Who is calling: the user header and the tokens file, read strictly.

#include "rpc/caller.h"
#include "rpc/session_p.h"

#include <gtest/gtest.h>

namespace fiscal::rpc {
namespace {

TEST(UserHeader, DecodesWhatTheClientEncodesAndRefusesTheRest)
{
    for (const char *name : {"", "maria", "João da Conceição", "ana.o'neil", "a b%c"})
        EXPECT_EQ(decodeUserHeader(encodeUserHeader(QString::fromUtf8(name))), name) << name;
    EXPECT_EQ(decodeUserHeader("Jos%c3%a9"), "José");
    const std::string tooLong(kMaxUserLength + 1, 'x');
    for (const std::string &bad : {std::string("%"), std::string("%4"), std::string("%GG"), std::string("%C3"),
                                   std::string("a%00b"), std::string("a%0Ab"), std::string("\xC3\xA9"), tooLong})
        EXPECT_FALSE(decodeUserHeader(bad)) << bad;
    EXPECT_TRUE(decodeUserHeader(std::string(kMaxUserLength, 'x')));
}

// The address a call is recorded with, and whether its proxy is trusted: an IPv4 peer of a
// server listening on "::" is the IPv4 address it is.
TEST(ClientAddress, AnIpv4PeerIsItselfWhateverTheSocketShowsItAs)
{
    const std::vector<std::string> trusted{"127.0.0.1"};
    const struct { const char *peer, *forwarded, *client; } cases[] = {
        {"127.0.0.1", "198.51.100.7", "198.51.100.7"},
        {"::ffff:127.0.0.1", "198.51.100.7", "198.51.100.7"},
        {"::ffff:10.1.2.3", "", "10.1.2.3"},
        {"::ffff:10.1.2.3", "198.51.100.7", "10.1.2.3"},
        {"127.0.0.1", "::ffff:198.51.100.7", "198.51.100.7"},
        {"::1", "198.51.100.7", "::1"},
        {"127.0.0.1", "2001:db8:1111:2222:3333:4444:5555:6666%2147483647", "2001:db8:1111:2222:3333:4444:5555:6666"},
        {"fe80::1%2", "", "fe80::1"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(detail::clientAddress(c.peer, c.forwarded, trusted), c.client) << c.peer << " " << c.forwarded;
}

TEST(TokenTable, FindsEachUsersTokenByItsHash)
{
    // printf %s test | sha256sum
    EXPECT_EQ(TokenTable::hash("test"), "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    std::string upper = TokenTable::hash("j");   // hex digits in either case
    for (char &c : upper)
        c = char(std::toupper(c));
    const TokenTable t = TokenTable::parse("# comment\n\nmaria:" + TokenTable::hash("m1") + "\r\n"
                                           "  maria : " + TokenTable::hash("m2") + "\nJosé:" + upper);
    EXPECT_EQ(t.size(), 3u);
    EXPECT_EQ(t.userOf("m1"), "maria");
    EXPECT_EQ(t.userOf("m2"), "maria");
    EXPECT_EQ(t.userOf("j"), "José");
    EXPECT_FALSE(t.userOf("m3"));
    EXPECT_FALSE(t.userOf(""));
}

TEST(TokenTable, ALineMayNameTheTokensRole)
{
    const TokenTable t = TokenTable::parse("carga:" + TokenTable::hash("c") + ":administrador\nleitor:"
                                           + TokenTable::hash("l") + " : consulta\nana:" + TokenTable::hash("a"));
    struct Case {
        const char *token, *user, *role;
    };
    for (const Case &c : {Case{"c", "carga", "administrador"}, Case{"l", "leitor", "consulta"}, Case{"a", "ana", "operador"}}) {
        const std::optional<Identity> who = t.find(c.token);
        ASSERT_TRUE(who) << c.token;
        EXPECT_EQ(who->user, c.user);
        EXPECT_EQ(who->role, c.role);
    }
}

TEST(TokenTable, NamesTheLineOfAnythingElse)
{
    const std::string h = TokenTable::hash("x");
    const std::pair<std::string, const char *> bad[] = {
        {"maria " + h, "linha 1"},
        {"\n\nmaria:" + h.substr(1), "linha 3"},
        {":" + h, "linha 1"},
        {"maria:" + h + "\nana:" + h, "linha 2"},
        {"maria:" + h.substr(0, 63) + "z", "linha 1"},
        {"ma\x01ria:" + h, "linha 1"},
        // the hash of an empty token: what a script writes when its token variable is unset
        {"# tokens\nmaria:" + TokenTable::hash(""), "linha 2"},
        {"maria:" + h + ":chefe", "linha 1"},
        {"maria:administrador", "linha 1"},
    };
    for (const auto &[text, where] : bad) {
        try {
            TokenTable::parse(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::invalid_argument &e) {
            EXPECT_NE(std::string(e.what()).find(where), std::string::npos) << e.what();
        }
    }
}

} // namespace
} // namespace fiscal::rpc
