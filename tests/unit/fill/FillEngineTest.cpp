#include "fill/FillEngine.h"

#include <gtest/gtest.h>

#include "support/FakeAccessibility.h"

using vell::fill::FillEngine;
using vell::platform::Accessibility;
using vell::test::FakeAccessibility;
using Attribute = Accessibility::Attribute;
using Role = Accessibility::Role;
using Applied = FillEngine::Applied;
using Ax = FakeAccessibility;

namespace {

constexpr pid_t pid = 4242;

std::string repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

struct FillEngineTest : ::testing::Test {
    FakeAccessibility ax;
    FillEngine engine{ax};

    std::vector<FillEngine::Field> enumerate(int maxFields = 40) { return engine.enumerate(pid, maxFields); }
    std::vector<FillEngine::Field> enumerate(const std::vector<Ax::NodeRef>& inWindow, int maxFields = 40) {
        ax.addApplication(pid, Ax::window(inWindow));
        return enumerate(maxFields);
    }
    // Each field as "id|type|label|placeholder|near|original", "-" for absent.
    std::vector<std::string> described(const std::vector<Ax::NodeRef>& inWindow) {
        std::vector<std::string> out;
        auto o = [](const std::optional<std::string>& s) { return s.value_or("-"); };
        for (const auto& f : enumerate(inWindow))
            out.push_back(f.id + "|" + f.type + "|" + o(f.label) + "|" + o(f.placeholder) + "|" + o(f.near) + "|" +
                          o(f.original));
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
    auto fields = described({Ax::group({Ax::staticText("Name"), Ax::input("F1")}, "A"),
                             Ax::group({Ax::staticText("Email"), Ax::input("F2", Role::textArea, "old")}, "B")});
    EXPECT_EQ(visitOrder(), (std::vector<std::string>{"window", "A", "B", "text:Name", "F1", "text:Email", "F2"}));
    EXPECT_EQ(fields, (std::vector<std::string>{"f0|text|-|-|Name|", "f1|textarea|-|-|Email|old"}));
    EXPECT_EQ(ax.timeouts().at(pid), 2.0);  // a hung target holds a read at most this long
}

TEST_F(FillEngineTest, RecordsPlaceholderTypeAndOriginalValue) {
    auto notes = Ax::input("notes", Role::textArea, "old notes");
    auto city = Ax::input("city", Role::comboBox, "Paris");
    city->set(Attribute::placeholder, "");  // present though empty
    auto noValue = Ax::input("noValue");
    noValue->fail(Attribute::value, Accessibility::noValue);

    EXPECT_EQ(described({notes, city, noValue}),
              (std::vector<std::string>{"f0|textarea|-|-|-|old notes", "f1|text|-||-|Paris", "f2|text|-|-|-|-"}));
}

TEST_F(FillEngineTest, TheLabelIsTheFirstNonEmptySourceUntrimmed) {
    auto caption = Ax::staticText(" Caption ");
    auto element = Ax::input("e");
    ax.addApplication(pid, Ax::window({element}));
    const struct {
        Attribute set;
        vell::platform::Accessibility::Value value;
        std::optional<std::string> label;
    } steps[] = {{Attribute::help, "Help", "Help"},
                 {Attribute::titleElement, vell::platform::ElementRef(caption), " Caption "},
                 {Attribute::description, "Description", "Description"},
                 {Attribute::title, "", "Description"},  // an empty title counts as absent
                 {Attribute::title, "Title", "Title"}};
    EXPECT_FALSE(enumerate().at(0).label);
    for (const auto& step : steps) {
        element->set(step.set, step.value);
        EXPECT_EQ(enumerate().at(0).label, step.label);
    }
}

TEST_F(FillEngineTest, SkipsSecureAndSensitiveInputsWithoutLookingBelowThem) {
    auto password = Ax::input("password");
    password->set(Attribute::subrole, std::string(Accessibility::Subrole::secureTextField));
    auto pin = Ax::labelled("Your PIN");
    auto hinted = Ax::labelled("Confirm");
    hinted->set(Attribute::placeholder, "Enter your password");
    auto card = Ax::input("card");  // captioned only by the text before it: the caption a person reads
    std::vector<Ax::NodeRef> inside;
    for (const auto& secret : {password, pin, hinted, card}) secret->children({inside.emplace_back(Ax::labelled("x"))});

    EXPECT_EQ(described({Ax::labelled("User name"), password, pin, hinted, Ax::labelled("Email"),
                         Ax::staticText("Card number"), card}),
              (std::vector<std::string>{"f0|text|User name|-|-|", "f1|text|Email|-|-|"}));
    for (const auto& node : inside) EXPECT_FALSE(ax.touched(node));
}

TEST_F(FillEngineTest, NearTextIsClearedByEveryInputAndNeverGoesWithALabel) {
    auto readOnly = Ax::input("readOnly");
    readOnly->valueSettable = false;
    auto combo = Ax::node(Role::comboBox, "combo");  // not settable: left out, its children walked
    combo->children({Ax::input("entry")});
    EXPECT_EQ(described({Ax::staticText("Caption"), Ax::labelled("Full name"), Ax::input("second"),
                         Ax::staticText("Shown"), readOnly, Ax::input("afterReadOnly"), Ax::staticText("Hidden"),
                         Ax::labelled("Password"), Ax::input("afterSecret"), Ax::staticText("Country"), combo}),
              (std::vector<std::string>{"f0|text|Full name|-|-|", "f1|text|-|-|-|", "f2|text|-|-|-|", "f3|text|-|-|-|",
                                        "f4|text|-|-|-|"}));
}

TEST_F(FillEngineTest, NearTextIsTheLastCaptionThatIsNotBlankCutToItsFirst120Characters) {
    const struct {
        std::vector<std::string> captions;
        std::string near;
    } rows[] = {
        {{"City", " \t\u00A0 "}, "City"},  // blank captions keep it
        {{"Zip", "\n"}, "\n"},             // a line break is no blank
        {{"  Name: "}, "  Name: "},        // its own spaces stay
        {{repeated("\u00E9", 150)}, repeated("\u00E9", 120)},
    };
    std::vector<Ax::NodeRef> children;
    for (const auto& row : rows) {
        for (const auto& caption : row.captions) children.push_back(Ax::staticText(caption));
        children.push_back(Ax::input("input"));
    }
    auto fields = enumerate(children);
    ASSERT_EQ(fields.size(), std::size(rows));
    for (std::size_t i = 0; i < fields.size(); ++i) EXPECT_EQ(fields[i].near, rows[i].near) << i;
}

// 500 inputs in one element: the walk queues only its first 200 children and
// stops at the field limit, both in breadth-first order.
TEST_F(FillEngineTest, QueuesOnlyTheFirst200ChildrenOfAnElementAndStopsAtMaxFields) {
    std::vector<Ax::NodeRef> children;
    for (int i = 0; i < 500; ++i) children.push_back(Ax::labelled("Field " + std::to_string(i)));
    ax.addApplication(pid, Ax::window({Ax::group(children)}));
    for (const int maxFields : {1000, 40}) {
        const auto fields = enumerate(maxFields);
        ASSERT_EQ(fields.size(), std::size_t(std::min(maxFields, 200)));
        for (std::size_t i = 0; i < fields.size(); ++i) EXPECT_EQ(fields[i].label, "Field " + std::to_string(i));
    }
    EXPECT_FALSE(ax.touched(children[200]));
}

TEST_F(FillEngineTest, StopsAfter4000Elements) {
    // window → 3998 nested groups → "Reachable" (the 4000th element taken) → "Too deep".
    auto chain = Ax::labelled("Reachable");
    chain->children({Ax::labelled("Too deep")});
    for (int i = 0; i < 3998; ++i) chain = Ax::group({chain});
    auto fields = enumerate({chain});
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0].label, "Reachable");
    EXPECT_EQ(visitOrder().size(), 4000u);
}

TEST_F(FillEngineTest, ReadsTheFirstWindowWhenTheFocusedOneCannotBeReadAndNothingWithoutOne) {
    auto app = ax.addApplication(
        pid, std::vector<Ax::NodeRef>{Ax::window({Ax::labelled("In first")}), Ax::window({Ax::labelled("In second")})});
    app->fail(Attribute::focusedWindow, Accessibility::noValue);
    ASSERT_EQ(enumerate().size(), 1u);
    EXPECT_EQ(enumerate()[0].label, "In first");

    ax.addApplication(pid, std::vector<Ax::NodeRef>{});
    EXPECT_TRUE(enumerate().empty());
    EXPECT_TRUE(engine.enumerate(999, 40).empty());  // no such application
}

TEST_F(FillEngineTest, AHungTargetEndsTheWalkAtTheFirstTimeOut) {
    auto hung = Ax::group({}, "hung");
    hung->hangs = true;
    auto after = Ax::labelled("After");
    auto fields = enumerate({Ax::labelled("Before"), hung, after});
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0].label, "Before");
    EXPECT_FALSE(ax.touched(after));
    const auto reads = ax.reads();
    EXPECT_EQ(std::count_if(reads.begin(), reads.end(), [&](auto& c) { return c.node == hung.get(); }), 1);

    ax.addApplication(pid, Ax::window({Ax::labelled("x")}))->hangs = true;
    ax.clearLog();
    EXPECT_TRUE(enumerate().empty());
    EXPECT_EQ(ax.reads().size(), 1u);  // a hung application is not asked for its windows again
}

// ---- writing and putting back --------------------------------------------------------

struct ApplyUndoTest : ::testing::Test {
    FakeAccessibility ax;
    FillEngine engine{ax};
    Ax::NodeRef name = Ax::labelled("Name");
    Ax::NodeRef phone = Ax::input("phone", Role::textField, "old phone");
    Ax::NodeRef city = Ax::input("city");
    Ax::NodeRef bare = Ax::input("bare");
    std::vector<FillEngine::Field> fields;

    void SetUp() override {
        name->set(Attribute::value, "old name");
        phone->set(Attribute::placeholder, "Phone");
        city->fail(Attribute::value, Accessibility::noValue);
        ax.addApplication(pid, Ax::window({name, phone, Ax::staticText("City"), city, bare}));
        fields = engine.enumerate(pid, 40);
        ASSERT_EQ(fields.size(), 4u);
        ax.clearLog();
    }
    std::vector<const FakeAccessibility::Node*> valueWrites() const {
        std::vector<const FakeAccessibility::Node*> written;
        for (const auto& w : ax.writes())
            if (w.attribute == Attribute::value) written.push_back(w.node);
        return written;
    }
};

TEST_F(ApplyUndoTest, DisplayNameIsLabelElsePlaceholderElseNearElseId) {
    const char* names[] = {"Name", "Phone", "City", "f3"};
    for (std::size_t i = 0; i < fields.size(); ++i) EXPECT_EQ(FillEngine::displayName(fields[i]), names[i]);
    auto emptyPlaceholder = fields[2];
    emptyPlaceholder.placeholder = "";
    EXPECT_EQ(FillEngine::displayName(emptyPlaceholder), "");  // present though empty
}

TEST_F(ApplyUndoTest, WritesInFieldOrderAndTellsExactFromReformattedFromRefused) {
    phone->keep = [](const std::string& v) { return v.substr(0, 3) + " " + v.substr(3); };
    city->writeStatus = Accessibility::failure;
    bare->unreadableAfterWrite = true;  // read back as no string: still check, never failed

    auto outcomes =
        engine.apply({{"f3", "bare value"}, {"f2", "Lyon"}, {"f1", "5551234"}, {"f0", "Ada"}, {"f9", "x"}}, fields);

    EXPECT_EQ(outcomes, (std::vector<FillEngine::Outcome>{{"Name", "Ada", Applied::applied},
                                                          {"Phone", "5551234", Applied::check},
                                                          {"City", "Lyon", Applied::failed},
                                                          {"f3", "bare value", Applied::check}}));
    EXPECT_EQ(phone->value(), "555 1234");
    EXPECT_EQ(valueWrites(),
              (std::vector<const FakeAccessibility::Node*>{name.get(), phone.get(), city.get(), bare.get()}));
}

TEST_F(ApplyUndoTest, UndoRestoresEveryFieldSharingAWrittenDisplayName) {
    auto first = Ax::input("first", Role::textField, "one");
    auto second = Ax::input("second", Role::textField, "two");
    first->set(Attribute::title, "Name");
    second->set(Attribute::title, "Name");
    ax.addApplication(9, Ax::window({first, second}));
    auto twins = engine.enumerate(9, 40);
    second->set(Attribute::value, "changed by the user");

    engine.undo(twins, engine.apply({{"f0", "Ada"}}, twins));

    EXPECT_EQ(first->value(), "one");
    EXPECT_EQ(second->value(), "two");
}

// Undo writes each original back by display name; of the refused writes only
// the one that landed after its answer timed out.
TEST_F(ApplyUndoTest, UndoRestoresOriginalsAndOfRefusedWritesOnlyOneThatLandedLate) {
    phone->writeStatus = Accessibility::cannotComplete;
    bare->writeStatus = Accessibility::failure;
    auto outcomes = engine.apply({{"f0", "Ada"}, {"f1", "555"}, {"f2", "Lyon"}, {"f3", "x"}}, fields);
    EXPECT_EQ(outcomes[1].result, Applied::failed);
    EXPECT_EQ(outcomes[3].result, Applied::failed);
    phone->set(Attribute::value, "555");  // landed late
    phone->writeStatus = Accessibility::success;
    ax.clearLog();

    engine.undo(fields, outcomes);

    EXPECT_EQ(name->value(), "old name");
    EXPECT_EQ(phone->value(), "old phone");
    EXPECT_EQ(city->value(), "");  // had no readable value: set to empty
    EXPECT_EQ(valueWrites(), (std::vector<const FakeAccessibility::Node*>{name.get(), phone.get(), city.get()}));
}

}  // namespace
