#include <gtest/gtest.h>

#include "fill/FillEngine.h"
#include "support/FakeAccessibility.h"

using vell::fill::FillEngine;
using vell::platform::Accessibility;
using vell::test::FakeAccessibility;
using Applied = FillEngine::Applied;
using Outcome = FillEngine::Outcome;

namespace {

constexpr pid_t pid = 7;

struct ApplyUndoTest : ::testing::Test {
    FakeAccessibility ax;
    FillEngine engine{ax};
    FakeAccessibility::NodeRef name = FakeAccessibility::labelled("Name");
    FakeAccessibility::NodeRef phone = FakeAccessibility::input("phone", Accessibility::Role::textField, "old phone");
    FakeAccessibility::NodeRef city = FakeAccessibility::input("city");
    FakeAccessibility::NodeRef bare = FakeAccessibility::input("bare");
    std::vector<FillEngine::Field> fields;

    void SetUp() override {
        name->set(Accessibility::Attribute::value, "old name");
        phone->set(Accessibility::Attribute::placeholder, "Phone");
        city->fail(Accessibility::Attribute::value, Accessibility::noValue);
        ax.addApplication(pid,
                          FakeAccessibility::window({name, phone, FakeAccessibility::staticText("City"), city, bare}));
        fields = engine.enumerate(pid, 40);
        ASSERT_EQ(fields.size(), 4u);
        ax.clearLog();
    }
    std::size_t valueWrites() const {
        std::size_t n = 0;
        for (const auto& w : ax.writes()) n += w.attribute == Accessibility::Attribute::value;
        return n;
    }
};

TEST_F(ApplyUndoTest, DisplayNameIsLabelElsePlaceholderElseNearElseId) {
    EXPECT_EQ(FillEngine::displayName(fields[0]), "Name");
    EXPECT_EQ(FillEngine::displayName(fields[1]), "Phone");
    EXPECT_EQ(FillEngine::displayName(fields[2]), "City");
    EXPECT_EQ(FillEngine::displayName(fields[3]), "f3");
    auto emptyPlaceholder = fields[2];
    emptyPlaceholder.placeholder = "";
    EXPECT_EQ(FillEngine::displayName(emptyPlaceholder), "");  // present though empty
}

TEST_F(ApplyUndoTest, WritesInFieldOrderAndTellsExactFromReformattedFromRefused) {
    phone->keep = [](const std::string& v) { return v.substr(0, 3) + " " + v.substr(3); };
    city->writeStatus = Accessibility::failure;

    auto outcomes =
        engine.apply({{"f3", "bare value"}, {"f2", "Lyon"}, {"f1", "5551234"}, {"f0", "Ada"}, {"f9", "x"}}, fields);

    EXPECT_EQ(outcomes, (std::vector<Outcome>{{"Name", "Ada", Applied::applied},
                                              {"Phone", "5551234", Applied::check},
                                              {"City", "Lyon", Applied::failed},
                                              {"f3", "bare value", Applied::applied}}));
    EXPECT_EQ(name->value(), "Ada");
    EXPECT_EQ(phone->value(), "555 1234");
    auto writes = ax.writes();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].node, name.get());
    EXPECT_EQ(writes[3].node, bare.get());
}

TEST_F(ApplyUndoTest, ReadBackThatIsNoStringIsCheckNeverFailed) {
    bare->unreadableAfterWrite = true;
    name->keep = [](const std::string&) { return std::string(); };
    auto outcomes = engine.apply({{"f0", "Ada"}, {"f3", "x"}}, fields);
    EXPECT_EQ(outcomes, (std::vector<Outcome>{{"Name", "Ada", Applied::check}, {"f3", "x", Applied::check}}));
}

TEST_F(ApplyUndoTest, EmptyValuesOrFieldsWriteNothing) {
    EXPECT_TRUE(engine.apply({}, fields).empty());
    EXPECT_TRUE(engine.apply({{"f0", "x"}}, {}).empty());
    EXPECT_EQ(valueWrites(), 0u);
}

TEST_F(ApplyUndoTest, UndoRestoresOriginalsByDisplayName) {
    auto outcomes = engine.apply({{"f0", "Ada"}, {"f2", "Lyon"}}, fields);
    ax.clearLog();

    engine.undo(fields, outcomes);

    EXPECT_EQ(name->value(), "old name");
    EXPECT_EQ(city->value(), "");  // had no readable value: set to empty
    EXPECT_EQ(phone->value(), "old phone");
    EXPECT_EQ(valueWrites(), 2u);  // only the fields that were written
}

TEST_F(ApplyUndoTest, UndoRestoresEveryFieldSharingAWrittenDisplayName) {
    auto first = FakeAccessibility::input("first", Accessibility::Role::textField, "one");
    auto second = FakeAccessibility::input("second", Accessibility::Role::textField, "two");
    first->set(Accessibility::Attribute::title, "Name");
    second->set(Accessibility::Attribute::title, "Name");
    ax.addApplication(9, FakeAccessibility::window({first, second}));
    auto twins = engine.enumerate(9, 40);
    second->set(Accessibility::Attribute::value, "changed by the user");

    auto outcomes = engine.apply({{"f0", "Ada"}}, twins);
    engine.undo(twins, outcomes);

    EXPECT_EQ(first->value(), "one");
    EXPECT_EQ(second->value(), "two");
}

TEST_F(ApplyUndoTest, UndoAfterEveryWriteFailedChangesNothing) {
    name->writeStatus = Accessibility::failure;
    phone->writeStatus = Accessibility::cannotComplete;
    auto outcomes = engine.apply({{"f0", "Ada"}, {"f1", "555"}}, fields);
    ASSERT_EQ(outcomes.size(), 2u);
    ax.clearLog();

    engine.undo(fields, outcomes);

    EXPECT_TRUE(ax.writes().empty());
}

// The target answered too late: the write counted as failed, then landed.
TEST_F(ApplyUndoTest, UndoPutsBackAWriteThatLandedAfterItsAnswerTimedOut) {
    phone->writeStatus = Accessibility::cannotComplete;
    auto outcomes = engine.apply({{"f0", "Ada"}, {"f1", "555"}}, fields);
    ASSERT_EQ(outcomes[1].result, Applied::failed);
    phone->set(Accessibility::Attribute::value, "555");
    phone->writeStatus = Accessibility::success;  // and answers again

    engine.undo(fields, outcomes);

    EXPECT_EQ(phone->value(), "old phone");
    EXPECT_EQ(name->value(), "old name");
}

}  // namespace
