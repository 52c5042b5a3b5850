#include "storage/documents.h"

#include <gtest/gtest.h>

namespace fiscal::storage {
namespace {

struct NumberCase {
    std::string_view number;
    bool valid;
    const char *why;
};

TEST(Cpf, AcceptsOnlyNumbersWithTheirCheckDigits)
{
    const NumberCase cases[] = {
        {"52998224725", true, "well-known valid example"},
        {"11144477735", true, "well-known valid example"},
        {"39053344705", true, "first check digit computed as 0"},
        {"52998224726", false, "second check digit wrong"},
        {"52998224715", false, "first check digit wrong"},
        {"11111111111", false, "repeated digits pass the arithmetic but are refused"},
        {"00000000000", false, "all zeros"},
        {"5299822472", false, "too short"},
        {"529982247250", false, "too long"},
        {"529.982.247-25", false, "punctuation is not stored"},
        {"", false, "empty"},
    };
    for (const NumberCase &c : cases)
        EXPECT_EQ(isValidCpf(c.number), c.valid) << c.number << ": " << c.why;
}

TEST(Cnpj, AcceptsOnlyNumbersWithTheirCheckDigits)
{
    const NumberCase cases[] = {
        {"11222333000181", true, "well-known valid example"},
        {"11444777000161", true, "well-known valid example"},
        {"33000167000101", true, "first check digit 0, second 1"},
        {"11222333000182", false, "second check digit wrong"},
        {"11222333000171", false, "first check digit wrong"},
        {"00000000000000", false, "all zeros"},
        {"1122233300018", false, "too short"},
        {"11.222.333/0001-81", false, "punctuation is not stored"},
        {"1122233300018a", false, "letter"},
    };
    for (const NumberCase &c : cases)
        EXPECT_EQ(isValidCnpj(c.number), c.valid) << c.number << ": " << c.why;
}

TEST(TaxpayerNumbers, CompletionAddsTheCheckDigits)
{
    EXPECT_EQ(completeCpf("529982247"), "52998224725");
    EXPECT_EQ(completeCnpj("112223330001"), "11222333000181");
    EXPECT_THROW(completeCpf("52998224"), std::invalid_argument);
    EXPECT_THROW(completeCnpj("11222333000x"), std::invalid_argument);
}

} // namespace
} // namespace fiscal::storage
