#include "mac/MacInput.h"

#include <gtest/gtest.h>

namespace {
struct ValidCase {
    const char16_t* typed;
    const char* address;
};

TEST(MacInputTest, AcceptsSixHexDigitsInAnyArrangementOfSeparators) {
    const ValidCase cases[] = {
        {u"ABCDEF", "02:3A:7C:AB:CD:EF"},           {u"AB-CD-EF", "02:3A:7C:AB:CD:EF"},
        {u"AB CD EF", "02:3A:7C:AB:CD:EF"},         {u" A:B:C:D:E:F ", "02:3A:7C:AB:CD:EF"},
        {u"::::12 34 56----", "02:3A:7C:12:34:56"}, {u"1a-2B-3c", "02:3A:7C:1a:2B:3c"},
        {u"ab cd EF", "02:3A:7C:ab:cd:EF"},         {u"a-bcd-e:f", "02:3A:7C:ab:cd:ef"},
        {u"000000", "02:3A:7C:00:00:00"},
    };
    for (const ValidCase& c : cases) {
        std::string address = "untouched";
        EXPECT_EQ(ValidateMacText(QStringView(c.typed), "02:3A:7C", address), MacInputOk)
            << QString::fromUtf16(c.typed).toStdString();
        EXPECT_EQ(address, c.address) << QString::fromUtf16(c.typed).toStdString();
    }
}

TEST(MacInputTest, PutsTheGivenPrefixInFrontAsItIs) {
    std::string address;
    ASSERT_EQ(ValidateMacText(u"aabbcc", "0E:91:C8", address), MacInputOk);
    EXPECT_EQ(address, "0E:91:C8:aa:bb:cc");
    EXPECT_EQ(BuildMacAddress("06:B1:4E", "123456"), "06:B1:4E:12:34:56");
}

struct FailCase {
    const char16_t* typed;
    MacInputResult result;
};

TEST(MacInputTest, ReportsEachFaultWithItsCodeAndLeavesTheAddressAlone) {
    const FailCase cases[] = {
        {u"", MacInputTooFewDigits},
        {u"   --::", MacInputTooFewDigits},
        {u"12345", MacInputTooFewDigits},
        {u"12-34-5", MacInputTooFewDigits},
        {u"1234567", MacInputTooManyDigits},
        {u"12:34:56:78", MacInputTooManyDigits},
        {u"12g", MacInputInvalidChars},
        {u"g", MacInputInvalidChars},
        // The bad character ends the walk before the digits are counted.
        {u"1234567x", MacInputInvalidChars},
        {u"123456.", MacInputInvalidChars},
        // Only hyphen, blank and colon separate; tab, dot and underscore do not.
        {u"12\t34\t56", MacInputInvalidChars},
        {u"12.34.56", MacInputInvalidChars},
        {u"12_34_56", MacInputInvalidChars},
        {u"0x123456", MacInputInvalidChars},
    };
    for (const FailCase& c : cases) {
        std::string address = "untouched";
        EXPECT_EQ(ValidateMacText(QStringView(c.typed), "02:3A:7C", address), c.result)
            << QString::fromUtf16(c.typed).toStdString();
        EXPECT_EQ(address, "untouched") << QString::fromUtf16(c.typed).toStdString();
    }
}

TEST(MacInputTest, CharactersOutsideAsciiAreInvalidEvenWhenTheyLookLikeDigits) {
    const char16_t* cases[] = {
        u"12\u00e7456",                          // c cedilla
        u"\uff11\uff12\uff13\uff14\uff15\uff16", // full-width digits 1..6
        u"\u0661\u0662\u0663\u0664\u0665\u0666", // Arabic-Indic digits 1..6
        u"\u0141\u0142\u0143456",                // low bytes are 'A', 'B', 'C'
        u"\u0130\u0131\u0132\u0133\u0134\u0135", // low bytes are '0'..'5'
        u"12\u00a034\u00a056",                   // no-break spaces
        u"12\u201334\u201356",                   // en dashes
    };
    for (const char16_t* typed : cases) {
        std::string address = "untouched";
        EXPECT_EQ(ValidateMacText(QStringView(typed), "02:3A:7C", address), MacInputInvalidChars)
            << QString::fromUtf16(typed).toStdString();
        EXPECT_EQ(address, "untouched");
    }
}

TEST(MacInputTest, ALongPastedTextIsJudgedByItsCount) {
    QString many(100000, QChar('f'));
    std::string digits;
    EXPECT_EQ(CheckMacSuffix(many, &digits), MacInputTooManyDigits);
    EXPECT_TRUE(digits.empty());
    many.append(QChar('z'));
    EXPECT_EQ(CheckMacSuffix(many), MacInputInvalidChars);
}
} // namespace

// What a scanner or an operator gives the headless prompt or the dialog's field in one text.
TEST(MacInputTest, AWholeAddressTakesTheOfferedPrefixInAnySeparatorFormAndCase) {
    const std::vector<std::string> offered = {"02:3A:7C", "0E:91:C8"};
    struct {
        const char16_t* text;
        const char* address; // empty: refused with message
        const char* message;
    } const cases[] = {
        {u"0E:91:C8:12:AB:cd", "0E:91:C8:12:AB:cd", ""},
        {u"0e-91-c8-12-ab-cd", "0E:91:C8:12:ab:cd", ""},
        {u"0E91C812ABCD", "0E:91:C8:12:AB:CD", ""},
        {u"0e91c812abcd", "0E:91:C8:12:ab:cd", ""},
        {u"02:3a:7c 12 34 56", "02:3A:7C:12:34:56", ""},
        {u"0A:5D:22:12:34:56", "", "Erro: Prefixo não oferecido"},
        {u"0A5D22123456", "", "Erro: Prefixo não oferecido"},
        {u"0E91C812ABCDE", "", "Erro: Prefixo não oferecido"},
        {u"0E:91:C8:12:AB", "", "Erro: Faltam dígitos"},
        {u"0E:91:C8:12:AB:CD:EF", "", "Erro: Muitos dígitos"},
        {u"0E.91.C8.12.AB.CD", "", "Erro: Prefixo não oferecido"},
        {u"0E:91:C8:12.AB.CD", "", "Erro: Caracteres inválidos"},
    };
    for (const auto& c : cases) {
        std::string address;
        QString message = ValidateWholeMacText(QStringView(c.text), offered, address);
        EXPECT_EQ(message.toStdString(), c.message) << QString::fromUtf16(c.text).toStdString();
        EXPECT_EQ(address, c.address) << QString::fromUtf16(c.text).toStdString();
    }
}
