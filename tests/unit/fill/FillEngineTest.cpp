#include "fill/FillEngine.h"

#include <gtest/gtest.h>

#include "support/FakeAccessibility.h"

using vell::fill::FillEngine;
using vell::platform::Accessibility;
using vell::test::FakeAccessibility;
using Attribute = Accessibility::Attribute;
using Role = Accessibility::Role;

namespace {

constexpr pid_t pid = 4242;

struct FillEngineTest : ::testing::Test {
    FakeAccessibility ax;
    FillEngine engine{ax};

    std::vector<FillEngine::Field> enumerate(int maxFields = 40) { return engine.enumerate(pid, maxFields); }

    static std::vector<std::string> ids(const std::vector<FillEngine::Field>& fields) {
        std::vector<std::string> out;
        for (const auto& f : fields) out.push_back(f.id);
        return out;
    }
    // The elements taken from the walk's queue, in order (their role reads).
    std::vector<std::string> visitOrder() const {
        std::vector<std::string> out;
        for (const auto& call : ax.reads())
            if (call.attribute == Attribute::role) out.push_back(call.node->name);
        return out;
    }
};

TEST_F(FillEngineTest, WalksBreadthFirstAndTakesTheCaptionSeenBeforeEachInput) {
    auto f1 = FakeAccessibility::input("F1");
    auto f2 = FakeAccessibility::input("F2");
    auto a = FakeAccessibility::group({FakeAccessibility::staticText("Name"), f1}, "A");
    auto b = FakeAccessibility::group({FakeAccessibility::staticText("Email"), f2}, "B");
    ax.addApplication(pid, FakeAccessibility::window({a, b}));

    auto fields = enumerate();

    EXPECT_EQ(visitOrder(), (std::vector<std::string>{"window", "A", "B", "text:Name", "F1", "text:Email", "F2"}));
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].id, "f0");
    EXPECT_EQ(fields[0].near, "Name");
    EXPECT_EQ(fields[0].element, f1);
    EXPECT_EQ(fields[0].type, "text");
    EXPECT_FALSE(fields[0].label);
    EXPECT_EQ(fields[1].id, "f1");
    EXPECT_EQ(fields[1].near, "Email");
    EXPECT_EQ(ax.timeouts().at(pid), 2.0);
}

TEST_F(FillEngineTest, RecordsLabelPlaceholderTypeAndOriginalValue) {
    auto notes = FakeAccessibility::input("notes", Role::textArea, "old notes");
    notes->set(Attribute::description, "Notes");
    auto city = FakeAccessibility::input("city", Role::comboBox, "Paris");
    city->set(Attribute::placeholder, "");
    auto caption = FakeAccessibility::staticText("Phone caption");
    auto phone = FakeAccessibility::input("phone");
    phone->set(Attribute::titleElement, vell::platform::ElementRef(caption));
    auto help = FakeAccessibility::input("help");
    help->set(Attribute::title, "").set(Attribute::help, "Shown on your badge");
    auto noValue = FakeAccessibility::input("noValue");
    noValue->fail(Attribute::value, Accessibility::noValue);
    ax.addApplication(pid, FakeAccessibility::window({notes, city, phone, help, noValue}));

    auto fields = enumerate();

    ASSERT_EQ(fields.size(), 5u);
    EXPECT_EQ(fields[0].type, "textarea");
    EXPECT_EQ(fields[0].label, "Notes");
    EXPECT_EQ(fields[0].original, "old notes");
    EXPECT_EQ(fields[1].type, "text");
    EXPECT_EQ(fields[1].placeholder, "");  // present though empty
    EXPECT_EQ(fields[1].original, "Paris");
    EXPECT_EQ(fields[2].label, "Phone caption");
    EXPECT_EQ(fields[3].label, "Shown on your badge");  // an empty title counts as absent
    EXPECT_FALSE(fields[4].original);
}

TEST_F(FillEngineTest, SkipsSecureAndSensitiveInputsWithoutLookingBelowThem) {
    auto user = FakeAccessibility::labelled("User name");
    auto password = FakeAccessibility::input("password");
    password->set(Attribute::subrole, std::string(Accessibility::Subrole::secureTextField));
    auto insidePassword = FakeAccessibility::labelled("inside password");
    password->children({insidePassword});
    auto pin = FakeAccessibility::labelled("Your PIN");
    auto insidePin = FakeAccessibility::labelled("inside pin");
    pin->children({insidePin});
    auto hinted = FakeAccessibility::labelled("Confirm");
    hinted->set(Attribute::placeholder, "Enter your password");
    auto insideHinted = FakeAccessibility::labelled("inside hinted");
    hinted->children({insideHinted});
    auto email = FakeAccessibility::labelled("Email");
    // Captioned only by the text before it: the caption a person reads.
    auto card = FakeAccessibility::input("card");
    auto insideCard = FakeAccessibility::labelled("inside card");
    card->children({insideCard});
    ax.addApplication(pid, FakeAccessibility::window({user, password, pin, hinted, email,
                                                      FakeAccessibility::staticText("Card number"), card}));

    auto fields = enumerate();

    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].label, "User name");
    EXPECT_EQ(fields[1].label, "Email");
    EXPECT_EQ(ids(fields), (std::vector<std::string>{"f0", "f1"}));  // dense
    EXPECT_FALSE(ax.touched(insidePassword));
    EXPECT_FALSE(ax.touched(insidePin));
    EXPECT_FALSE(ax.touched(insideHinted));
    EXPECT_FALSE(ax.touched(insideCard));
}

TEST_F(FillEngineTest, NearTextIsClearedByEveryInputAndNeverGoesWithALabel) {
    auto labelled = FakeAccessibility::labelled("Full name");
    auto second = FakeAccessibility::input("second");
    auto readOnly = FakeAccessibility::input("readOnly");
    readOnly->valueSettable = false;
    auto afterReadOnly = FakeAccessibility::input("afterReadOnly");
    auto secret = FakeAccessibility::labelled("Password");
    auto afterSecret = FakeAccessibility::input("afterSecret");
    ax.addApplication(pid, FakeAccessibility::window({FakeAccessibility::staticText("Caption"), labelled, second,
                                                      FakeAccessibility::staticText("Shown"), readOnly, afterReadOnly,
                                                      FakeAccessibility::staticText("Hidden"), secret, afterSecret}));

    auto fields = enumerate();

    ASSERT_EQ(fields.size(), 4u);
    EXPECT_EQ(fields[0].label, "Full name");
    EXPECT_FALSE(fields[0].near);  // a caption stood before it, but it has a label
    EXPECT_EQ(fields[1].element, second);
    EXPECT_FALSE(fields[1].near);  // two inputs in a row
    EXPECT_EQ(fields[2].element, afterReadOnly);
    EXPECT_FALSE(fields[2].near);  // the unrecorded read-only input cleared it
    EXPECT_EQ(fields[3].element, afterSecret);
    EXPECT_FALSE(fields[3].near);  // so did the skipped secret input
}

TEST_F(FillEngineTest, NotSettableInputIsLeftOutButItsChildrenAreStillWalked) {
    auto combo = FakeAccessibility::node(Role::comboBox, "combo");
    auto entry = FakeAccessibility::input("entry");
    combo->children({entry});
    ax.addApplication(pid, FakeAccessibility::window({FakeAccessibility::staticText("Country"), combo}));

    auto fields = enumerate();

    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0].element, entry);
    EXPECT_FALSE(fields[0].near);
}

TEST_F(FillEngineTest, BlankCaptionsKeepTheNearTextButALineBreakReplacesIt) {
    auto first = FakeAccessibility::input("first");
    auto second = FakeAccessibility::input("second");
    ax.addApplication(pid,
                      FakeAccessibility::window(
                          {FakeAccessibility::staticText("City"), FakeAccessibility::staticText(" \t\u00A0 "), first,
                           FakeAccessibility::staticText("Zip"), FakeAccessibility::staticText("\n"), second}));

    auto fields = enumerate();

    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].near, "City");
    EXPECT_EQ(fields[1].near, "\n");
}

TEST_F(FillEngineTest, NearTextKeepsItsOwnSpacesAndIsCutToItsFirst120Characters) {
    auto first = FakeAccessibility::input("first");
    auto second = FakeAccessibility::input("second");
    std::string longCaption;
    for (int i = 0; i < 150; ++i) longCaption += "\u00E9";  // two bytes each
    ax.addApplication(pid, FakeAccessibility::window({FakeAccessibility::staticText("  Name: "), first,
                                                      FakeAccessibility::staticText(longCaption), second}));

    auto fields = enumerate();

    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].near, "  Name: ");
    std::string expected;
    for (int i = 0; i < 120; ++i) expected += "\u00E9";
    EXPECT_EQ(fields[1].near, expected);
}

TEST_F(FillEngineTest, QueuesOnlyTheFirst200ChildrenOfAnElement) {
    std::vector<FakeAccessibility::NodeRef> children;
    for (int i = 0; i < 500; ++i) children.push_back(FakeAccessibility::labelled("Field " + std::to_string(i)));
    ax.addApplication(pid, FakeAccessibility::window(children));

    auto fields = enumerate(1000);

    ASSERT_EQ(fields.size(), 200u);
    EXPECT_EQ(fields.back().label, "Field 199");
    EXPECT_FALSE(ax.touched(children[200]));
}

TEST_F(FillEngineTest, StopsAtMaxFieldsInBreadthFirstOrder) {
    std::vector<FakeAccessibility::NodeRef> groups;
    for (int g = 0; g < 6; ++g) {
        std::vector<FakeAccessibility::NodeRef> inputs;
        for (int i = 0; i < 10; ++i)
            inputs.push_back(FakeAccessibility::labelled("Field " + std::to_string(g * 10 + i)));
        groups.push_back(FakeAccessibility::group(inputs));
    }
    ax.addApplication(pid, FakeAccessibility::window(groups));

    auto fields = enumerate(40);

    ASSERT_EQ(fields.size(), 40u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(fields[i].label, "Field " + std::to_string(i));
    EXPECT_EQ(fields.back().id, "f39");
}

TEST_F(FillEngineTest, StopsAfter4000Elements) {
    // window → 3998 nested groups → "Reachable" (the 4000th element taken) → "Too deep".
    auto tooDeep = FakeAccessibility::labelled("Too deep");
    auto reachable = FakeAccessibility::labelled("Reachable");
    reachable->children({tooDeep});
    FakeAccessibility::NodeRef chain = reachable;
    for (int i = 0; i < 3998; ++i) {
        auto parent = FakeAccessibility::node("group");
        parent->children(std::vector<FakeAccessibility::NodeRef>(1, chain));
        chain = parent;
    }
    ax.addApplication(pid, FakeAccessibility::window({chain}));

    auto fields = enumerate();

    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0].label, "Reachable");
    EXPECT_EQ(visitOrder().size(), 4000u);
}

TEST_F(FillEngineTest, FallsBackToTheFirstWindowWhenTheFocusedOneCannotBeRead) {
    auto first = FakeAccessibility::window({FakeAccessibility::labelled("In first")}, "first");
    auto second = FakeAccessibility::window({FakeAccessibility::labelled("In second")}, "second");
    auto app = ax.addApplication(pid, std::vector<FakeAccessibility::NodeRef>{first, second});
    app->fail(Attribute::focusedWindow, Accessibility::noValue);

    auto fields = enumerate();

    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0].label, "In first");
}

TEST_F(FillEngineTest, NoWindowOrUnknownProcessGivesNoFields) {
    ax.addApplication(pid, std::vector<FakeAccessibility::NodeRef>{});
    EXPECT_TRUE(enumerate().empty());
    EXPECT_TRUE(engine.enumerate(999, 40).empty());
}

TEST_F(FillEngineTest, AsksEveryTargetToExposeItsTree) {
    ax.addApplication(pid, FakeAccessibility::window({}));
    enumerate();
    auto writes = ax.writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].attribute, Attribute::manualAccessibility);
    EXPECT_EQ(writes[1].attribute, Attribute::enhancedUserInterface);
    EXPECT_EQ(writes[0].value, Accessibility::Value(true));
}

TEST_F(FillEngineTest, AHungTargetEndsTheWalkAtTheFirstTimeOut) {
    auto before = FakeAccessibility::labelled("Before");
    auto hung = FakeAccessibility::group({}, "hung");
    hung->hangs = true;
    auto after = FakeAccessibility::labelled("After");
    ax.addApplication(pid, FakeAccessibility::window({before, hung, after}));

    auto fields = enumerate();

    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0].label, "Before");
    EXPECT_FALSE(ax.touched(after));
    int hungCalls = 0;
    for (const auto& call : ax.reads()) hungCalls += call.node == hung.get();
    EXPECT_EQ(hungCalls, 1);
}

TEST_F(FillEngineTest, AHungApplicationIsNotAskedForItsWindowsAgain) {
    auto app = ax.addApplication(pid, FakeAccessibility::window({FakeAccessibility::labelled("x")}));
    app->hangs = true;
    EXPECT_TRUE(enumerate().empty());
    EXPECT_EQ(ax.reads().size(), 1u);
}

TEST_F(FillEngineTest, TheLabelIsTheFirstNonEmptySourceUntrimmed) {
    auto caption = FakeAccessibility::staticText(" Caption ");
    auto element = FakeAccessibility::input("e");
    ax.addApplication(pid, FakeAccessibility::window({element}));
    auto label = [&] { return enumerate().at(0).label; };
    EXPECT_FALSE(label());
    element->set(Attribute::help, "Help");
    EXPECT_EQ(label(), "Help");
    element->set(Attribute::titleElement, vell::platform::ElementRef(caption));
    EXPECT_EQ(label(), " Caption ");
    element->set(Attribute::description, "Description");
    EXPECT_EQ(label(), "Description");
    element->set(Attribute::title, "");
    EXPECT_EQ(label(), "Description");
    element->set(Attribute::title, "Title");
    EXPECT_EQ(label(), "Title");
}

}  // namespace
