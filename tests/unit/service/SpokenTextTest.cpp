#include "SpokenText.h"

#include <gtest/gtest.h>

using vell::service::SpokenText;

TEST(SpokenText, NumberWordsBecomeDigits) {
    EXPECT_EQ(SpokenText::withDigits("five five five zero one hundred"), "5550100");
    EXPECT_EQ(SpokenText::withDigits("twenty one"), "21");
    EXPECT_EQ(SpokenText::withDigits("one hundred and five"), "105");
    EXPECT_EQ(SpokenText::withDigits("one hundred twenty three baker street"), "123 baker street");
    EXPECT_EQ(SpokenText::withDigits("double oh seven"), "007");
    EXPECT_EQ(SpokenText::withDigits("born in eighteen fifteen"), "born in 1815");
    EXPECT_EQ(SpokenText::withDigits("two thousand twenty four"), "2024");
    EXPECT_EQ(SpokenText::withDigits("nine four one oh five"), "94105");
    EXPECT_EQ(SpokenText::withDigits("twelve main street, london"), "12 main street, london");
}

TEST(SpokenText, WordsThatAreNotNumbersStay) {
    EXPECT_EQ(SpokenText::withDigits("call me"), "call me");
    EXPECT_EQ(SpokenText::withDigits("and the double"), "and the double");
    EXPECT_TRUE(SpokenText::isSpokenNumber("thirty two"));
    EXPECT_FALSE(SpokenText::isSpokenNumber("thirty two dogs"));
    EXPECT_FALSE(SpokenText::isSpokenNumber(""));
}

TEST(SpokenText, SpokenAndWrittenEmailAddresses) {
    EXPECT_EQ(SpokenText::email("ada at example dot com"), "ada@example.com");
    EXPECT_EQ(SpokenText::email("ada dot lovelace at example dot co dot uk"), "ada.lovelace@example.co.uk");
    EXPECT_EQ(SpokenText::email("ada underscore l at mail dash server dot com"), "ada_l@mail-server.com");
    EXPECT_EQ(SpokenText::email("it is ada one eight one five at example dot org thanks"), "ada1815@example.org");
    EXPECT_EQ(SpokenText::email("write to Ada@Example.com please"), "ada@example.com");
    EXPECT_EQ(SpokenText::email("meet me at noon"), std::nullopt);
    EXPECT_EQ(SpokenText::email("ada at example"), std::nullopt);
}

TEST(SpokenText, PhoneNumbers) {
    EXPECT_EQ(SpokenText::phone("555 0100"), "555 0100");
    EXPECT_EQ(SpokenText::phone("+44 20 7946 0958 after six"), "+44 20 7946 0958");
    EXPECT_EQ(SpokenText::phone("(555) 010-0199"), "(555) 010-0199");
    EXPECT_EQ(SpokenText::phone("five five five zero one hundred"), "5550100");
    EXPECT_EQ(SpokenText::phone("plus four four two zero"), "+4420");
    EXPECT_EQ(SpokenText::phone("unknown"), std::nullopt);
    EXPECT_EQ(SpokenText::phone("12"), std::nullopt);
}

TEST(SpokenText, WebAddressesAndCapitals) {
    EXPECT_EQ(SpokenText::webAddress("turing dot org dot uk"), "turing.org.uk");
    EXPECT_EQ(SpokenText::webAddress("https://turing.org.uk/cv"), "https://turing.org.uk/cv");
    EXPECT_EQ(SpokenText::capitalised("ada lovelace"), "Ada Lovelace");
    EXPECT_EQ(SpokenText::capitalised("mary-jane o'neil"), "Mary-Jane O'neil");
    EXPECT_EQ(SpokenText::capitalised("van der Berg"), "van der Berg");
}
