#include "FieldMapper.h"

#include <gtest/gtest.h>

using vell::service::FieldMapper;
using Concept = FieldMapper::Concept;
using Values = std::map<std::string, std::string>;
using Labels = std::vector<std::string>;

namespace {

FieldMapper::Field labelled(std::string id, std::string label, std::string type = "text") {
    return {std::move(id), std::move(type), std::move(label), {}, {}};
}

std::vector<FieldMapper::Field> contactForm() {
    return {labelled("f0", "Name"), labelled("f1", "E-mail"), labelled("f2", "Phone"),
            labelled("f3", "Message", "textarea")};
}

std::vector<FieldMapper::Field> shippingForm() {
    return {labelled("f0", "First name"),     labelled("f1", "Last name *"), labelled("f2", "Street address"),
            labelled("f3", "Address line 2"), labelled("f4", "City"),        labelled("f5", "State"),
            labelled("f6", "ZIP code"),       labelled("f7", "Country"),     labelled("f8", "Phone number (optional)")};
}

std::vector<FieldMapper::Field> jobApplication() {
    return {labelled("f0", "Full name"),
            labelled("f1", "Email address"),
            labelled("f2", "Phone number"),
            labelled("f3", "Current employer"),
            labelled("f4", "Job title"),
            labelled("f5", "LinkedIn or portfolio URL"),
            labelled("f6", "Salary expectations"),
            labelled("f7", "Start date"),
            labelled("f8", "Cover letter", "textarea")};
}

}  // namespace

TEST(FieldMapper, ContactFormFromTypedSentences) {
    auto mapping = FieldMapper().map(
        "My name is Ada Lovelace, email ada at example dot com, phone is 555 0100. Notes: please call after five.",
        contactForm());
    EXPECT_EQ(
        mapping.values,
        (Values{
            {"f0", "Ada Lovelace"}, {"f1", "ada@example.com"}, {"f2", "555 0100"}, {"f3", "please call after five."}}));
    EXPECT_TRUE(mapping.unfilled.empty());
}

TEST(FieldMapper, ContactFormFromRecognisedSpeech) {
    // What the recogniser produces: lower case, no punctuation, numbers as words.
    auto mapping = FieldMapper().map(
        "my name is ada lovelace email ada at example dot com phone is five five five zero one hundred", contactForm());
    EXPECT_EQ(mapping.values, (Values{{"f0", "Ada Lovelace"}, {"f1", "ada@example.com"}, {"f2", "5550100"}}));
    EXPECT_EQ(mapping.unfilled, Labels{"Message"});
}

TEST(FieldMapper, ShippingAddressFromOneSentencePerField) {
    auto mapping = FieldMapper().map(
        "First name Grace, surname Hopper. The address is 12 Main Street, Arlington, VA 22201. Telephone 555 0199.",
        shippingForm());
    EXPECT_EQ(mapping.values, (Values{{"f0", "Grace"},
                                      {"f1", "Hopper"},
                                      {"f2", "12 Main Street"},
                                      {"f4", "Arlington"},
                                      {"f5", "VA"},
                                      {"f6", "22201"},
                                      {"f8", "555 0199"}}));
    EXPECT_EQ(mapping.unfilled, (Labels{"Address line 2", "Country"}));
}

TEST(FieldMapper, ShippingAddressFromRecognisedSpeech) {
    auto mapping = FieldMapper().map(
        "my name is grace hopper i live at twelve main street city arlington state virginia "
        "zip code two two two zero one country united states",
        shippingForm());
    EXPECT_EQ(mapping.values, (Values{{"f0", "Grace"},
                                      {"f1", "Hopper"},
                                      {"f2", "12 Main Street"},
                                      {"f4", "Arlington"},
                                      {"f5", "Virginia"},
                                      {"f6", "22201"},
                                      {"f7", "United States"}}));
    EXPECT_EQ(mapping.unfilled, (Labels{"Address line 2", "Phone number (optional)"}));
}

TEST(FieldMapper, JobApplicationWithOwnLabelsAsKeys) {
    auto mapping = FieldMapper().map(
        "My name is Alan Turing. My e-mail address is alan.turing@example.org. Phone number +44 20 7946 0958. "
        "I work at Bletchley Park and my job title is cryptanalyst. Website turing dot org dot uk. "
        "Salary expectations: 50,000 a year. Cover letter: I would love to build thinking machines with you.",
        jobApplication());
    EXPECT_EQ(mapping.values, (Values{{"f0", "Alan Turing"},
                                      {"f1", "alan.turing@example.org"},
                                      {"f2", "+44 20 7946 0958"},
                                      {"f3", "Bletchley Park"},
                                      {"f4", "Cryptanalyst"},
                                      {"f5", "turing.org.uk"},
                                      {"f6", "50,000 a year"},
                                      {"f8", "I would love to build thinking machines with you."}}));
    EXPECT_EQ(mapping.unfilled, Labels{"Start date"});
}

TEST(FieldMapper, NoteWithOneStatementPerLine) {
    std::string note =
        "Name: Ada Lovelace\nE-mail: ada@example.com\nNotes: leave it with the phone company, not the city office\n";
    auto mapping = FieldMapper().map(note, contactForm());
    EXPECT_EQ(mapping.values, (Values{{"f0", "Ada Lovelace"},
                                      {"f1", "ada@example.com"},
                                      {"f3", "leave it with the phone company, not the city office"}}));
    EXPECT_EQ(mapping.unfilled, Labels{"Phone"});
}

TEST(FieldMapper, NamesSplitAndJoinAcrossFields) {
    auto split =
        FieldMapper().map("my name is ada king lovelace", {labelled("a", "Given name"), labelled("b", "Family name")});
    EXPECT_EQ(split.values, (Values{{"a", "Ada"}, {"b", "Lovelace"}}));

    auto joined = FieldMapper().map("first name ada last name lovelace", {labelled("a", "Your name")});
    EXPECT_EQ(joined.values, (Values{{"a", "Ada Lovelace"}}));
}

TEST(FieldMapper, FieldsAreRecognisedBySynonymsPlaceholderAndNearbyText) {
    auto kindOf = [](std::string label, std::string placeholder = {}, std::string near = {}) {
        return FieldMapper::conceptOf({"x", "text", std::move(label), std::move(placeholder), std::move(near)});
    };
    EXPECT_EQ(kindOf("E-MAIL:"), Concept::Email);
    EXPECT_EQ(kindOf("Email address"), Concept::Email);
    EXPECT_EQ(kindOf("Surname"), Concept::LastName);
    EXPECT_EQ(kindOf("Telephone"), Concept::Phone);
    EXPECT_EQ(kindOf("Given name"), Concept::FirstName);
    EXPECT_EQ(kindOf("Street"), Concept::Street);
    EXPECT_EQ(kindOf("Postal code"), Concept::PostalCode);
    EXPECT_EQ(kindOf("Town/City"), Concept::City);
    EXPECT_EQ(kindOf("Organisation"), Concept::Company);
    EXPECT_EQ(kindOf("Company name"), Concept::Company);
    EXPECT_EQ(kindOf("", "you@example.com"), Concept::Email);
    EXPECT_EQ(kindOf("", "", "Postcode"), Concept::PostalCode);
    EXPECT_EQ(kindOf("Favourite colour"), Concept::None);
}

TEST(FieldMapper, UnfilledNamesFieldsByLabelPlaceholderNearOrId) {
    auto mapping = FieldMapper().map("", {{"f0", "text", "Name", "", ""},
                                          {"f1", "text", "", "Your city", ""},
                                          {"f2", "text", "", "", "Reference"},
                                          {"f3", "text", "", "", ""}});
    EXPECT_TRUE(mapping.values.empty());
    EXPECT_EQ(mapping.unfilled, (Labels{"Name", "Your city", "Reference", "f3"}));
}

TEST(FieldMapper, KeyWordsInsideValuesDoNotStartNewStatements) {
    auto mapping =
        FieldMapper().map("company is the Phone Company.", {labelled("a", "Company"), labelled("b", "Phone")});
    EXPECT_EQ(mapping.values, (Values{{"a", "the Phone Company"}}));
    EXPECT_EQ(mapping.unfilled, Labels{"Phone"});
}

TEST(FieldMapper, FreeTextGoesToTheNotesFieldOnly) {
    auto mapping = FieldMapper().map("Please leave the parcel at the back door.",
                                     {labelled("a", "Name"), labelled("b", "Delivery instructions", "textarea")});
    EXPECT_EQ(mapping.values, (Values{{"b", "Please leave the parcel at the back door."}}));
    EXPECT_EQ(mapping.unfilled, Labels{"Name"});
}

TEST(FieldMapper, EmailAndPhoneAreFoundWithoutKeys) {
    auto mapping = FieldMapper().map("Reach Ada on ada@example.com or 555-0100.",
                                     {labelled("a", "Email"), labelled("b", "Phone")});
    EXPECT_EQ(mapping.values, (Values{{"a", "ada@example.com"}, {"b", "555-0100"}}));
}

TEST(FieldMapper, ASpokenKeyWithoutAValueFillsNothing) {
    auto mapping = FieldMapper().map("email is", {labelled("a", "Email")});
    EXPECT_TRUE(mapping.values.empty());
    EXPECT_EQ(mapping.unfilled, Labels{"Email"});
}

TEST(FieldMapper, IntroducingOneselfNamesOnlyPeople) {
    std::vector<FieldMapper::Field> fields = {labelled("a", "Name"), labelled("b", "Phone"), labelled("c", "City")};
    auto named = FieldMapper().map("hi i'm ada lovelace my phone number is five five five one two three four", fields);
    EXPECT_EQ(named.values, (Values{{"a", "Ada Lovelace"}, {"b", "5551234"}}));

    auto notNamed = FieldMapper().map("I am from Leeds. I'm interested in the job. I live in London", fields);
    EXPECT_EQ(notNamed.values, (Values{{"c", "London"}}));
}

TEST(FieldMapper, StreetNamesKeepTheWordStreet) {
    auto mapping =
        FieldMapper().map("the address is twelve main street london", {labelled("a", "Street"), labelled("b", "City")});
    EXPECT_EQ(mapping.values, (Values{{"a", "12 Main Street London"}}));
    EXPECT_EQ(mapping.unfilled, Labels{"City"});
}
