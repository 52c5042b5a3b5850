#include "vcl/editmask.h"

#include <gtest/gtest.h>

using namespace fiscal::vcl;

namespace {

struct FormatCase {
    const char *mask;
    const char *value;
    const char *expected;
};

class FormatMaskTextTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatMaskTextTest, insertsLiteralsBetweenStoredCharacters)
{
    const FormatCase &c = GetParam();
    EXPECT_EQ(FormatMaskText(QString::fromUtf8(c.mask), QString::fromUtf8(c.value)).toStdString(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Masks, FormatMaskTextTest, ::testing::Values(
    FormatCase{"999.999.999-99;0;_", "12345678901", "123.456.789-01"},            // CPF
    FormatCase{"99.999.999/9999-99;0;_", "12345678000199", "12.345.678/0001-99"}, // CNPJ
    FormatCase{"999.999.999-99;0;_", "123", "123.___.___-__"},                    // short value: blanks
    FormatCase{"999.999.999-99;0;_", "", "___.___.___-__"},
    FormatCase{"999.999.999-99;0;_", "123456789012345", "123.456.789-01"},        // extra characters dropped
    FormatCase{"99;0; ", "1", "1 "},
    FormatCase{"999;0; ", "001", "001"},
    FormatCase{"!999;0; ", "12", "12 "},                                          // '!' is not a position
    FormatCase{"99/99;1;_", "12/34", "12/34"},                                    // stored literals are skipped in the value
    FormatCase{"99/99;1;_", "1234", "12/34"},
    FormatCase{">LL-99;0;_", "ab12", "AB-12"},                                    // case conversion
    FormatCase{"\\A99;0;_", "12", "A12"},                                         // escaped literal
    FormatCase{"", "whatever", "whatever"}                                        // no mask
));

struct ParseCase {
    const char *mask;
    bool storeLiterals;
    char16_t blank;
    int editable;
    int positions;
    const char *qtMask;
};

class EditMaskParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(EditMaskParseTest, readsThePartsAndTranslatesForQt)
{
    const ParseCase &c = GetParam();
    const EditMask m = EditMask::parse(QString::fromUtf8(c.mask));
    EXPECT_EQ(m.storesLiterals(), c.storeLiterals);
    EXPECT_EQ(m.blank(), QChar(c.blank));
    EXPECT_EQ(m.editableCount(), c.editable);
    EXPECT_EQ(m.positions().size(), c.positions);
    EXPECT_EQ(m.qtInputMask().toStdString(), c.qtMask);
}

INSTANTIATE_TEST_SUITE_P(Masks, EditMaskParseTest, ::testing::Values(
    ParseCase{"99;0; ", false, u' ', 2, 2, "00; "},
    ParseCase{"999;0; ", false, u' ', 3, 3, "000; "},
    ParseCase{"!999;0; ", false, u' ', 3, 3, "000; "},
    ParseCase{"000", true, u'_', 3, 3, "999;_"},                 // defaults: literals stored, blank '_'
    ParseCase{"999.999.999-99;0;_", false, u'_', 11, 14, "000.000.000-00;_"},
    ParseCase{"LlAaCc#;1;*", true, u'*', 7, 7, "AaNnXx#;*"},
    ParseCase{"99 h;0;_", false, u'_', 2, 4, "00 \\h;_"},         // a literal that Qt reads as meta is escaped
    ParseCase{">ll<>99;0;_", false, u'_', 4, 4, ">aa!00;_"},
    ParseCase{"9\\;9;0;_", false, u'_', 2, 3, "0\\;0;_"},         // escaped semicolon stays in the picture
    ParseCase{"", true, u'_', 0, 0, ""}
));

struct StoredCase {
    const char *mask;
    const char *displayed;
    const char *stored;
    int filled;
};

class EditMaskStoredTest : public ::testing::TestWithParam<StoredCase> {};

TEST_P(EditMaskStoredTest, keepsOnlyWhatTheMaskStores)
{
    const StoredCase &c = GetParam();
    const EditMask m = EditMask::parse(QString::fromUtf8(c.mask));
    EXPECT_EQ(m.storedText(QString::fromUtf8(c.displayed)).toStdString(), c.stored);
    EXPECT_EQ(m.filledCount(QString::fromUtf8(c.displayed)), c.filled);
}

INSTANTIATE_TEST_SUITE_P(Masks, EditMaskStoredTest, ::testing::Values(
    StoredCase{"99;0; ", "  ", "", 0},
    StoredCase{"99;0; ", "1 ", "1", 1},
    StoredCase{"99;0; ", "01", "01", 2},
    StoredCase{"999;0; ", "1 3", "1 3", 2},                      // a gap is not closed up into 13
    StoredCase{"999;0; ", " 13", "13", 2},
    StoredCase{"999.999.999-99;0;_", "123.456.789-01", "12345678901", 11},
    StoredCase{"999.999.999-99;0;_", "___.___.___-__", "", 0},
    StoredCase{"99/99;1;_", "12/__", "12/", 2},
    StoredCase{"99/99;1;_", "__/__", "/", 0}                      // literals alone do not fill a box
));

} // namespace
