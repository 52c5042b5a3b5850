// What the fiscal-group, billing-type and registration cells show, and which keys a
// fiscal-group box refuses.

#include "Pkg_Ger10200/shared/celltext.h"
#include "Pkg_Ger10200/shared/codefield.h"

#include "modulefixture.h"

namespace fiscal::ger10200 {
namespace {

TEST(CellText, GrupoFiscalCellJoinsTrimmedCodeAndDescription)
{
    const struct { const char *code, *desc, *expected; } cases[] = {
        {"001", "ICMS normal", "001 - ICMS normal"},
        {" 014 ", "Substituição tributária ", "014 - Substituição tributária"},
        {"", "", " - "},   // a row without a group shows the bare separator
        {"002", "", "002 - "},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(grupoFiscalCell(QString::fromUtf8(c.code), QString::fromUtf8(c.desc)),
                  QString::fromUtf8(c.expected))
            << c.code;
    }
}

TEST(CellText, BareCodeOnlyWhileEditingTheSelectedUnfocusedCellWithItsEditorOpen)
{
    const struct { bool editing, selected, focused, editorOpen, bare; } cases[] = {
        {true, true, false, true, true},
        {false, true, false, true, false},
        {true, false, false, true, false},
        {true, true, true, true, false},
        {true, true, false, false, false},
        {false, false, false, false, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(showsBareCode(c.editing, c.selected, c.focused, c.editorOpen), c.bare)
            << c.editing << c.selected << c.focused << c.editorOpen;
    }
}

TEST(CellText, RegistrationNumberFollowsThePersonType)
{
    const struct { const char *number, *type, *expected; } cases[] = {
        {"12345678901", "F", "123.456.789-01"},
        {"12345678000195", "J", "12.345.678/0001-95"},
        {"12345678000195", "j", "12.345.678/0001-95"},
        {"ABC123", "X", "ABC123"},      // no mask for an unknown type: the number as stored
        {"", "J", ""},                  // nothing stored, nothing shown (no stray dots)
        {"  12345678901 ", "F", "123.456.789-01"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(registrationText(QString::fromUtf8(c.number), QString::fromUtf8(c.type)),
                  QString::fromUtf8(c.expected))
            << c.number << "/" << c.type;
    }
}

TEST(CellText, BillingTypeCellShowsCodeAndName)
{
    EXPECT_EQ(billingTypeCell(QStringLiteral("001"), QStringLiteral("Gestão Direta")),
              QStringLiteral("001 - Gestão Direta"));
    EXPECT_EQ(billingTypeCell(QStringLiteral("004"), QStringLiteral("Refeição e Serviço")),
              QStringLiteral("004 - Refeição e Serviço"));
}

TEST(GrupoFiscalKeys, LettersAndSignsAreDroppedEverythingElsePasses)
{
    const struct { char16_t key; bool refused; } cases[] = {
        {u'*', true}, {u'+', true}, {u'-', true}, {u'.', true}, {u'/', true},
        {u'A', true}, {u'Z', true}, {u'a', true}, {u'z', true}, {u'm', true},
        {u'0', false}, {u'9', false}, {u',', false}, {u' ', false}, {u'\b', false},
        {u'\r', false}, {u'é', false}, {u'Ç', false},
    };
    for (const auto &c : cases) {
        QChar key(c.key);
        EXPECT_EQ(isGrupoFiscalKeyRefused(key), c.refused) << int(c.key);
        filterGrupoFiscalKey(key);
        EXPECT_EQ(key.isNull(), c.refused) << int(c.key);
    }
}

} // namespace
} // namespace fiscal::ger10200
