// Strict reading of the positional arguments: every failure is -32602 naming the argument.

#include "appserver/common/args.h"

#include <QCborArray>
#include <gtest/gtest.h>

using namespace fiscal;
using namespace fiscal::appserver;

namespace {

int faultCode(const std::function<void()> &f, QString *message = nullptr)
{
    try {
        f();
    } catch (const rpc::Fault &e) {
        if (message)
            *message = e.message();
        return e.code();
    }
    return 0;
}

struct SelectionCase {
    const char *text;
    bool ok;
    bool all;
    std::vector<std::string> keys;
};

class SelectionTest : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(SelectionTest, ParsesStrictly)
{
    const SelectionCase &c = GetParam();
    Selection sel;
    QString message;
    const int code = faultCode([&] { sel = parseSelection(c.text, 3, "seleção de grupos"); }, &message);
    if (!c.ok) {
        EXPECT_EQ(code, rpc::code::InvalidParams) << c.text;
        EXPECT_TRUE(message.contains(QStringLiteral("seleção de grupos"))) << message.toStdString();
        return;
    }
    ASSERT_EQ(code, 0) << c.text << ": " << message.toStdString();
    EXPECT_EQ(sel.all, c.all);
    EXPECT_EQ(sel.keys, c.keys);
}

// The cap counts keys as sent, repeats included: a list of one key a million times over
// costs the server as much memory to read as a million keys.
TEST(SelectionSize, AMillionKeysAtMost)
{
    for (const std::size_t keys : {kMaxSelectionKeys, kMaxSelectionKeys + 1}) {
        std::string text;
        text.reserve(keys * 4);
        for (std::size_t i = 0; i < keys; ++i)
            text += i ? ",'1'" : "'1'";
        QString message;
        const int code = faultCode([&] { parseSelection(text, 3, "seleção de clientes"); }, &message);
        EXPECT_EQ(code, keys > kMaxSelectionKeys ? rpc::code::InvalidParams : 0) << keys;
        if (code) {
            EXPECT_TRUE(message.contains(QStringLiteral("mais de 1.000.000 chaves"))) << message.toStdString();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Selections, SelectionTest, ::testing::Values(
    SelectionCase{"T", true, true, {}},
    SelectionCase{"", true, false, {}},
    SelectionCase{"'001'", true, false, {"001"}},
    SelectionCase{"'001','014'", true, false, {"001", "014"}},
    SelectionCase{"'001','001'", true, false, {"001"}},               // duplicates count once
    SelectionCase{"'D''A'", true, false, {"D'A"}},                   // doubled quote inside a key
    SelectionCase{"''''", true, false, {"'"}},
    SelectionCase{"'ção'", true, false, {"ção"}},                    // 3 characters, 5 bytes
    SelectionCase{"t", false, false, {}},
    SelectionCase{"X", false, false, {}},
    SelectionCase{"001", false, false, {}},
    SelectionCase{"'001", false, false, {}},
    SelectionCase{"'001',", false, false, {}},
    SelectionCase{",'001'", false, false, {}},
    SelectionCase{"'001' ,'002'", false, false, {}},
    SelectionCase{"'001', '002'", false, false, {}},
    SelectionCase{"'001''002'", false, false, {}},                   // reads as one key 001'002: too long
    SelectionCase{"'0011'", false, false, {}},
    SelectionCase{"''", false, false, {}},
    SelectionCase{"'001');DROP TABLE GRUPOFISCAL;--", false, false, {}},
    SelectionCase{"'T'", true, false, {"T"}}));

struct ArgCase {
    const char *name;
    QCborArray params;
    std::function<void(const QCborArray &)> read;
    bool ok;
};

class ArgTest : public ::testing::TestWithParam<ArgCase> {};

TEST_P(ArgTest, RefusesWithInvalidParams)
{
    const ArgCase &c = GetParam();
    QString message;
    const int code = faultCode([&] { c.read(c.params); }, &message);
    if (c.ok) {
        EXPECT_EQ(code, 0) << message.toStdString();
    } else {
        EXPECT_EQ(code, rpc::code::InvalidParams);
        EXPECT_FALSE(message.isEmpty());
    }
}

const auto code3 = [](const QCborArray &p) { codeArg(p, 0, 3, "código do grupo fiscal"); };
const auto text2 = [](const QCborArray &p) { stringArg(p, 1, 2, "código da empresa"); };
const auto flag = [](const QCborArray &p) { boolArg(p, 0, "fornecedores"); };
const auto two = [](const QCborArray &p) { expectCount(p, 2, "GetX"); };

INSTANTIATE_TEST_SUITE_P(Args, ArgTest, ::testing::Values(
    ArgCase{"code_exact", {QStringLiteral("001")}, code3, true},
    ArgCase{"code_empty", {QStringLiteral("")}, code3, true},
    ArgCase{"code_accented_fits", {QStringLiteral("çãé")}, code3, true},
    ArgCase{"code_too_long", {QStringLiteral("0001")}, code3, false},
    ArgCase{"code_null", {QCborValue(nullptr)}, code3, false},
    ArgCase{"code_number", {1}, code3, false},
    ArgCase{"code_bool", {true}, code3, false},
    ArgCase{"code_array", {QCborArray{QStringLiteral("001")}}, code3, false},
    ArgCase{"code_missing", {}, code3, false},
    ArgCase{"code_nul_char", {QString(QChar(u'\0'))}, code3, false},
    ArgCase{"code_astral_counts_once", {QStringLiteral("\U0001F600\U0001F600\U0001F600")}, code3, true},
    ArgCase{"second_arg", {QStringLiteral("x"), QStringLiteral("01")}, text2, true},
    ArgCase{"second_arg_missing", {QStringLiteral("x")}, text2, false},
    ArgCase{"second_arg_long", {QStringLiteral("x"), QStringLiteral("011")}, text2, false},
    ArgCase{"bool_ok", {false}, flag, true},
    ArgCase{"bool_string", {QStringLiteral("true")}, flag, false},
    ArgCase{"bool_int", {1}, flag, false},
    ArgCase{"count_ok", {1, 2}, two, true},
    ArgCase{"count_less", {1}, two, false},
    ArgCase{"count_more", {1, 2, 3}, two, false}),
    [](const ::testing::TestParamInfo<ArgCase> &i) { return std::string(i.param.name); });

TEST(ArgMessages, NameTheArgumentAndTheMethod)
{
    QString message;
    faultCode([] { codeArg(QCborArray{QStringLiteral("0001")}, 0, 3, "código do grupo fiscal"); }, &message);
    EXPECT_TRUE(message.contains(QStringLiteral("código do grupo fiscal"))) << message.toStdString();
    faultCode([] { expectCount(QCborArray{}, 1, "GetImpFili"); }, &message);
    EXPECT_TRUE(message.contains(QStringLiteral("GetImpFili"))) << message.toStdString();
}

} // namespace
