#include "clientlib/messages.h"
#include "clientlib/selection.h"
#include "clientlib/settings.h"
#include "clientlib/textroutines.h"

#include "qtprint.h"

#include <gtest/gtest.h>

using namespace fiscal::clientlib;

namespace {

struct AjustaCase { const char *code; int width; const char *expected; };

TEST(Ajusta, BringsCodesToTheirStoredWidth)
{
    const AjustaCase cases[] = {
        {"1", 3, "001"},
        {"1", 2, "01"},
        {"12", 3, "012"},
        {"123", 3, "123"},
        {" 7 ", 3, "007"},          // blanks of a masked box
        {"", 3, ""},                // empty stays empty: "no fiscal group"
        {"   ", 3, ""},
        {"0001", 3, "001"},         // leading zeros give way
        {"1234", 3, "1234"},        // never cut into another code
        {"A1", 3, "A1"},            // not a digit code: only trimmed
        {"5", 4, "0005"},
        {"05", 2, "05"},
    };
    for (const AjustaCase &c : cases) {
        EXPECT_EQ(Ajusta(QString::fromUtf8(c.code), c.width), QString::fromUtf8(c.expected))
            << "code \"" << c.code << "\" width " << c.width;
    }
}

TEST(PictPess, MaskPerPersonType)
{
    const std::pair<const char *, const char *> cases[] = {
        {"F", "999.999.999-99;0;_"},
        {"f", "999.999.999-99;0;_"},
        {"J", "99.999.999/9999-99;0;_"},
        {" j ", "99.999.999/9999-99;0;_"},
        {"", ""},
        {"X", ""},
        {"FJ", ""},
    };
    for (const auto &[type, mask] : cases) {
        EXPECT_EQ(PictPess(QString::fromUtf8(type)), QString::fromUtf8(mask)) << "type \"" << type << "\"";
    }
}

TEST(EmptyString, BlanksAndUnfilledMasksAreEmpty)
{
    const std::pair<const char *, bool> cases[] = {
        {"", true},
        {"  ", true},
        {"\t", true},
        {"__", true},            // unfilled box whose mask shows '_'
        {" _ ", true},
        {"0", false},
        {" 1", false},
        {"a", false},
        {"_1_", false},
    };
    for (const auto &[text, empty] : cases) {
        EXPECT_EQ(EmptyString(QString::fromUtf8(text)), empty) << "\"" << text << "\"";
    }
    EXPECT_EQ(AllTrim(QStringLiteral("  01 ")), QStringLiteral("01"));
}

TEST(TMessages, MsgMatchesKeysWithoutCase)
{
    TMessages msg;
    msg.setStrings({
        QStringLiteral("Imp_Cad|Imposto não cadastrado."),
        QStringLiteral("cod_not_cad|Grupo fiscal não cadastrado."),
        QStringLiteral("GrupoFiscal|Grupo Fiscal|Não há grupo fiscal cadastrado."),
        QStringLiteral("Vazio|"),
    });
    const std::pair<const char *, const char *> cases[] = {
        {"Imp_Cad", "Imposto não cadastrado."},
        {"imp_cad", "Imposto não cadastrado."},
        {"IMP_CAD", "Imposto não cadastrado."},
        {"COD_NOT_CAD", "Grupo fiscal não cadastrado."},
        // three fields: title and text, passed on as PesquisaLista's title argument
        {"grupofiscal", "Grupo Fiscal|Não há grupo fiscal cadastrado."},
        {"Vazio", ""},
        // keys the table lacks come back as they were asked
        {"Rec_Dados", "Rec_Dados"},
        {"Fornecedor", "Fornecedor"},
        {"Imp", "Imp"},                       // a prefix is not a match
    };
    for (const auto &[key, text] : cases) {
        EXPECT_EQ(msg.Msg(QString::fromUtf8(key)), QString::fromUtf8(text)) << key;
    }
}

TEST(Selection, FormatsKeysAsTheServerReadsThem)
{
    const std::pair<QStringList, const char *> cases[] = {
        {{}, ""},
        {{QStringLiteral("001")}, "'001'"},
        {{QStringLiteral("001"), QStringLiteral("014")}, "'001','014'"},
        {{QStringLiteral("D'AVILA")}, "'D''AVILA'"},
        {{QStringLiteral("'"), QStringLiteral("a,b")}, "'''','a,b'"},
        {{QString()}, "''"},
    };
    for (const auto &[keys, text] : cases) {
        EXPECT_EQ(formatSelection(keys), QString::fromUtf8(text));
        const auto back = parseSelection(QString::fromUtf8(text));
        ASSERT_TRUE(back.has_value()) << text;
        EXPECT_EQ(*back, keys) << text;
    }
}

TEST(Selection, RejectsWhatIsNotAList)
{
    for (const char *bad : {"T", "'001',", "'001'x", "001", "'001", "'a''", ",'a'", "'a' ,'b'", "'a','b"}) {
        EXPECT_FALSE(parseSelection(QString::fromUtf8(bad)).has_value()) << bad;
    }
}

TEST(Settings, ServerUrlForms)
{
    struct Case { const char *url; const char *host; int port; bool tls; };
    const Case good[] = {
        {"http://127.0.0.1:8211", "127.0.0.1", 8211, false},
        {"https://fiscal.example", "fiscal.example", 443, true},
        {"localhost:9000", "localhost", 9000, false},
        {"https://fiscal.example:8443/", "fiscal.example", 8443, true},
        {"http://fiscal.example:80/", "fiscal.example", 80, false},
        {"localhost:9000", "localhost", 9000, false},
        {"outro", "outro", 9000, false},   // a bare host keeps the port
        {"http://fiscal.example", "fiscal.example", 80, false},
        // A name with accents in the form the resolver and the certificate know.
        {"https://fiscal.açúcar.com.br", "fiscal.xn--acar-0oa8i.com.br", 443, true},
        {"http://fiscal.example", "fiscal.example", 80, false},
    };
    for (const Case &c : good) {
        Settings::instance().setServerUrl(QString::fromUtf8(c.url));
        EXPECT_EQ(WebURL(), QString::fromUtf8(c.host)) << c.url;
        EXPECT_EQ(WebPort(), c.port) << c.url;
        EXPECT_EQ(Settings::instance().serverTls(), c.tls) << c.url;
    }
    // Shown as it can be typed back: an IPv6 address in brackets.
    for (const char *url : {"http://[::1]:8211", "https://[2001:db8::5]:443", "http://fiscal.example:80"}) {
        Settings::instance().setServerUrl(QString::fromUtf8(url));
        EXPECT_EQ(Settings::instance().serverAddress(), QString::fromUtf8(url));
    }
    for (const char *bad : {"", "ftp://host:1", "http://host:1/rpc", "http://:80", "http://host:0"}) {
        EXPECT_THROW(Settings::instance().setServerUrl(QString::fromUtf8(bad)), std::invalid_argument) << bad;
    }
    // A bad address leaves the last good one in place.
    EXPECT_EQ(WebURL(), QStringLiteral("fiscal.example"));

    // A bare host with no port set yet gets the server's usual one, never port 0.
    Settings::instance().setServerPort(0);
    Settings::instance().setServerUrl(QStringLiteral("fiscal"));
    EXPECT_EQ(WebPort(), 8211);
}

} // namespace
