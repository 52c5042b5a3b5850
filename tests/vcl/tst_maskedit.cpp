#include "vcl/maskedit.h"

#include "testhooks.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTest>

#include <functional>
#include <gtest/gtest.h>

using namespace fiscal::vcl;

namespace {

struct TypingCase {
    const char *mask;
    int maxLength;             // 0: leave the default
    TEditCharCase charCase;
    const char *typed;
    const char *text;
    bool empty;
};

class MaskEditTypingTest : public ::testing::TestWithParam<TypingCase> {};

TEST_P(MaskEditTypingTest, typedKeysGiveTheStoredText)
{
    const TypingCase &c = GetParam();
    TMaskEdit edit;
    edit.setEditMask(QString::fromUtf8(c.mask));
    if (c.maxLength > 0)
        edit.setMaxLength(c.maxLength);
    edit.setCharCase(c.charCase);
    edit.show();
    edit.setFocus();
    edit.home(false);
    QTest::keyClicks(&edit, QString::fromUtf8(c.typed));
    EXPECT_EQ(edit.Text().toStdString(), c.text);
    EXPECT_EQ(edit.IsEmpty(), c.empty);
}

INSTANTIATE_TEST_SUITE_P(Boxes, MaskEditTypingTest, ::testing::Values(
    TypingCase{"99;0; ", 0, ecNormal, "", "", true},               // unfilled box counts as empty
    TypingCase{"99;0; ", 0, ecNormal, "1", "1", false},
    TypingCase{"99;0; ", 0, ecNormal, "12", "12", false},
    TypingCase{"99;0; ", 0, ecNormal, "123", "12", false},         // the mask holds two
    TypingCase{"99;0; ", 0, ecNormal, "a", "", true},              // letters are refused
    TypingCase{"999;0; ", 0, ecNormal, "7", "7", false},
    TypingCase{"999;0; ", 0, ecNormal, "001", "001", false},
    TypingCase{"!999;0; ", 0, ecNormal, "42", "42", false},
    TypingCase{"999.999.999-99;0;_", 0, ecNormal, "12345678901", "12345678901", false},
    TypingCase{"", 16, ecUpperCase, "ab12x", "AB12X", false},      // state registration box
    TypingCase{"", 3, ecNormal, "12345", "123", false},            // plain box with MaxLength
    TypingCase{"", 0, ecNormal, "   ", "   ", true}                // blanks only is empty
));

// An upper-case box (the state registration) takes text in upper case however it comes.
TEST(MaskEdit, anUpperCaseBoxTakesPastedAndInsertedTextInUpperCase)
{
    const struct {
        const char *way;
        std::function<void(TMaskEdit &)> put;
    } cases[] = {
        {"Ctrl+V", [](TMaskEdit &e) { QGuiApplication::clipboard()->setText(QStringLiteral("isento")); QTest::keyClick(&e, Qt::Key_V, Qt::ControlModifier); }},
        {"paste", [](TMaskEdit &e) { QGuiApplication::clipboard()->setText(QStringLiteral("isento")); e.paste(); }},
        {"insert", [](TMaskEdit &e) { e.insert(QStringLiteral("isento")); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.way);
        TMaskEdit edit;
        edit.setMaxLength(16);
        edit.setCharCase(ecUpperCase);
        edit.show();
        edit.setFocus();
        c.put(edit);
        EXPECT_EQ(edit.Text(), QStringLiteral("ISENTO"));
    }
}

// Cells copied from a spreadsheet paste their first only: the mask dropped the tabs and line
// breaks and joined the rest into a code nobody typed.
TEST(MaskEdit, aPasteOfSeveralCellsPutsInTheFirst)
{
    const struct {
        const char *mask;
        const char *clipboard;
        const char *stored;
    } cases[] = {
        {"999;0; ", "5\r\n7\r\n", "5"},
        {"999;0; ", "5\t7", "5"},
        {"999;0; ", "12\r\n", "12"},
        {"999;0; ", "001 - Tributado", "001"},
        {"", "IE-9\nIE-10", "IE-9"},
        {"", "004", "004"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.clipboard);
        TMaskEdit edit;
        edit.setEditMask(QString::fromLatin1(c.mask));
        edit.show();
        edit.setFocus();
        edit.selectAll();   // as the grid's editor and a box entered by Tab are
        QGuiApplication::clipboard()->setText(QString::fromLatin1(c.clipboard));
        QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(edit.Text(), QString::fromLatin1(c.stored));
    }
}

TEST(MaskEdit, setTextShowsThroughTheMaskAndReadsBack)
{
    struct Case { const char *mask; const char *set; const char *text; const char *shown; };
    const Case cases[] = {
        {"99;0; ", "01", "01", "01"},
        {"99;0; ", "1", "1", "1 "},
        {"99;0; ", "", "", "  "},
        {"999.999.999-99;0;_", "12345678901", "12345678901", "123.456.789-01"},
        {"", "abc", "abc", "abc"},
    };
    for (const Case &c : cases) {
        TMaskEdit edit;
        edit.setEditMask(QString::fromUtf8(c.mask));
        edit.setText(QString::fromUtf8(c.set));
        EXPECT_EQ(edit.Text().toStdString(), c.text) << c.mask << " / " << c.set;
        EXPECT_EQ(edit.EditText().toStdString(), c.shown) << c.mask << " / " << c.set;
    }
}

TEST(MaskEdit, changingTheMaskKeepsTheStoredText)
{
    TMaskEdit edit;
    edit.setText(QStringLiteral("12"));
    edit.setEditMask(QStringLiteral("999;0; "));
    EXPECT_EQ(edit.Text(), QStringLiteral("12"));
    edit.setEditMask(QString());
    EXPECT_EQ(edit.Text(), QStringLiteral("12"));
}

TEST(MaskEdit, onChangeFiresOncePerRealChangeByUserOrCode)
{
    TMaskEdit edit;
    edit.setEditMask(QStringLiteral("99;0; "));
    QStringList seen;
    edit.OnChange = [&] { seen << edit.Text(); };
    edit.show();
    edit.setFocus();
    edit.home(false);
    QTest::keyClicks(&edit, QStringLiteral("4"));
    edit.setText(QStringLiteral("4"));      // same stored text: no change
    edit.setText(QStringLiteral("07"));
    edit.setText(QString());
    EXPECT_EQ(seen, (QStringList{QStringLiteral("4"), QStringLiteral("07"), QString()}));
}

TEST(MaskEdit, keyFilterDropsAndReplacesCharacters)
{
    // The fiscal-group box filter: signs and letters are dropped, the rest passes.
    TEdit edit;
    edit.setMaxLength(3);
    edit.OnKeyPress = [](QChar &key) {
        static const QString refused = QStringLiteral("*+-./");
        if (refused.contains(key) || (key.toLatin1() >= 'A' && key.toLatin1() <= 'Z')
            || (key.toLatin1() >= 'a' && key.toLatin1() <= 'z'))
            key = QChar();
    };
    edit.show();
    edit.setFocus();
    QTest::keyClicks(&edit, QStringLiteral("a+1,x2"));
    EXPECT_EQ(edit.Text(), QStringLiteral("1,2"));
    QTest::keyClick(&edit, Qt::Key_Backspace);
    EXPECT_EQ(edit.Text(), QStringLiteral("1,"));
}

TEST(MaskEdit, throwingKeyHandlersDropTheKey)
{
    TEdit edit;
    int downs = 0;
    edit.OnKeyDown = [&](int &key, Qt::KeyboardModifiers) {
        ++downs;
        if (key == Qt::Key_X)
            throw std::runtime_error("no x");
    };
    edit.OnKeyPress = [](QChar &key) {
        if (key == QLatin1Char('y'))
            key = QChar();
    };
    // Errors go to the reporter, never out of the event handler.
    edit.show();
    edit.setFocus();
    QTest::keyClicks(&edit, QStringLiteral("axyb"));
    EXPECT_EQ(edit.Text(), QStringLiteral("ab"));
    EXPECT_EQ(downs, 4);
    EXPECT_EQ(vcltest::errors(), QStringList{QStringLiteral("no x")});
}

} // namespace
