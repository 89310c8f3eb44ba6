// The detail scaffold and the sign-in card against a model that talks to the
// backend emulator.
#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QScrollBar>
#include <QTest>

#include "ViewKit/DesktopAuthCard.hpp"
#include "ViewKit/DesktopButton.hpp"
#include "ViewKit/DesktopDetailScaffold.hpp"
#include "ViewKit/DesktopInputField.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopSectionIntro.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "support/DesktopModelHarness.hpp"
#include "viewkit/ViewKitTestSupport.hpp"

namespace tarnwell {
namespace {

using testing::DesktopModelHarness;
using testing::waitUntil;

template <class T>
T* child(QWidget& parent, const char* name) {
    T* found = parent.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

bool shown(QWidget& root, QWidget* widget) { return widget != nullptr && widget->isVisibleTo(&root); }

TEST(DesktopDetailScaffoldTest, SignedOutShowsOnlyTheIntroAndOpenDashboard) {
    DesktopModelHarness harness;
    DesktopDetailScaffold scaffold(*harness.model, DesktopDestination::sync, new QLabel(QStringLiteral("screen")));
    scaffold.resize(1100, 700);
    scaffold.show();

    auto* intro = scaffold.findChild<DesktopSectionIntro*>();
    ASSERT_NE(intro, nullptr);
    EXPECT_EQ(intro->eyebrow(), desktop_destination::eyebrow(DesktopDestination::sync));
    EXPECT_EQ(intro->title(), desktop_destination::title(DesktopDestination::sync));
    EXPECT_EQ(intro->subtitle(), desktop_destination::subtitle(DesktopDestination::sync));
    EXPECT_FALSE(shown(scaffold, child<QWidget>(scaffold, "statusChips")));
    EXPECT_FALSE(shown(scaffold, child<QWidget>(scaffold, "refreshButton")));
    EXPECT_FALSE(shown(scaffold, child<QWidget>(scaffold, "signOutButton")));
    auto* dashboard = child<DesktopButton>(scaffold, "dashboardButton");
    ASSERT_TRUE(shown(scaffold, dashboard));
    EXPECT_EQ(dashboard->style(), DesktopButton::Style::primary);

    QTest::mouseClick(dashboard, Qt::LeftButton);
    ASSERT_EQ(harness.opener->opened.size(), 1u);
    EXPECT_EQ(harness.opener->opened[0], QString::fromLatin1(DesktopModelHarness::kDashboard));

    // One page on the page colour, scrolled without indicators.
    EXPECT_EQ(scaffold.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_TRUE(testing::sameColor(testing::pixel(scaffold, 4, 690), DesktopPalette::page()));
}

TEST(DesktopDetailScaffoldTest, SignedInShowsChipsAndThreeButtonsUntilSignOut) {
    DesktopModelHarness harness;
    DesktopDetailScaffold scaffold(*harness.model, DesktopDestination::overview, new QWidget);
    scaffold.resize(1280, 700);
    scaffold.show();
    ASSERT_TRUE(harness.signIn());
    auto* chips = child<QWidget>(scaffold, "statusChips");
    ASSERT_TRUE(waitUntil([&] { return shown(scaffold, chips); }));

    auto* run = child<DesktopStatusChip>(scaffold, "runChip");
    auto* ingest = child<DesktopStatusChip>(scaffold, "ingestChip");
    EXPECT_EQ(run->text(), QStringLiteral("Stopped"));
    EXPECT_EQ(run->kind(), StatusPillKind::muted);
    EXPECT_TRUE(waitUntil([&] { return ingest->text() == harness.model->ingestPresentation().text; }));
    EXPECT_LT(run->geometry().left(), ingest->geometry().left());

    auto* refresh = child<QWidget>(scaffold, "refreshButton");
    auto* dashboard = child<QWidget>(scaffold, "dashboardButton");
    auto* signOut = child<QAbstractButton>(scaffold, "signOutButton");
    ASSERT_TRUE(shown(scaffold, refresh) && shown(scaffold, signOut));
    EXPECT_LT(refresh->geometry().left(), dashboard->geometry().left());
    EXPECT_LT(dashboard->geometry().left(), signOut->geometry().left());
    auto* column = child<QWidget>(scaffold, "statusColumn");
    EXPECT_LE(column->width(), DesktopDetailScaffold::kColumnMaximumWidth);
    // The stack's 24 on each side of the spacer's 24 between intro and column.
    auto* intro = scaffold.findChild<DesktopSectionIntro*>();
    ASSERT_NE(intro, nullptr);
    EXPECT_GE(column->mapTo(&scaffold, QPoint(0, 0)).x() - intro->mapTo(&scaffold, QPoint(intro->width(), 0)).x(),
              72);

    // A refresh reaches the backend; two presses, two refreshes.
    const auto before = harness.backend.requestCount("GET", "/rest/v1/jobs");
    QTest::mouseClick(refresh, Qt::LeftButton);
    QTest::mouseClick(refresh, Qt::LeftButton);
    EXPECT_TRUE(waitUntil([&] { return harness.backend.requestCount("GET", "/rest/v1/jobs") >= before + 2; }));

    QTest::mouseClick(signOut, Qt::LeftButton);
    EXPECT_TRUE(waitUntil([&] { return !shown(scaffold, chips) && !shown(scaffold, signOut); }));
    EXPECT_FALSE(harness.model->currentUser().has_value());
    EXPECT_TRUE(shown(scaffold, dashboard));
}

TEST(DesktopDetailScaffoldTest, ChipsStackRightAlignedWhenTheColumnCannotHoldThem) {
    DesktopModelHarness harness;
    ASSERT_TRUE(harness.signIn());
    DesktopDetailScaffold scaffold(*harness.model, DesktopDestination::overview, new QWidget);
    auto* run = child<DesktopStatusChip>(scaffold, "runChip");
    auto* ingest = child<DesktopStatusChip>(scaffold, "ingestChip");
    auto* signOut = child<QWidget>(scaffold, "signOutButton");
    auto* column = child<QWidget>(scaffold, "statusColumn");
    auto rightEdge = [&](QWidget* widget) { return widget->mapTo(&scaffold, QPoint(widget->width(), 0)).x(); };
    scaffold.resize(1280, 900);
    scaffold.show();
    ASSERT_TRUE(waitUntil([&] { return ingest->text() == QStringLiteral("Ingestion: Idle"); }));
    testing::settleViews();
    EXPECT_EQ(run->geometry().top(), ingest->geometry().top());
    EXPECT_LT(rightEdge(run), rightEdge(ingest));

    // A stale queue gives the ingest chip a text too long to share the
    // column (at most 430 wide) with the run chip.
    harness.backend.insertJob(harness.userId, {{"kind", "ingest"}, {"status", "queued"},
                                               {"created_at", "2020-01-01T00:00:00Z"}});
    ASSERT_TRUE(testing::waitFor(harness.model->refreshStatus()));
    ASSERT_EQ(harness.model->ingestPresentation().kind, StatusPillKind::warn);
    ASSERT_TRUE(waitUntil([&] { return ingest->kind() == StatusPillKind::warn; }));
    testing::settleViews();
    EXPECT_EQ(column->width(), DesktopDetailScaffold::kColumnMaximumWidth);
    EXPECT_EQ(rightEdge(column), scaffold.width() - 28 - 24);
    EXPECT_EQ(ingest->geometry().top(), run->geometry().bottom() + 1 + 10);
    EXPECT_EQ(rightEdge(run), rightEdge(ingest));
    EXPECT_EQ(rightEdge(ingest), rightEdge(signOut));
    EXPECT_LT(ingest->mapTo(&scaffold, QPoint(0, ingest->height())).y(), signOut->mapTo(&scaffold, QPoint(0, 0)).y());
}

TEST(DesktopAuthCardTest, FieldsAreTwoWayAndReturnStartsNothing) {
    DesktopModelHarness harness;
    DesktopAuthCard card(*harness.model);
    card.resize(900, 400);
    card.show();
    auto* email = child<DesktopInputField>(card, "emailField");
    auto* password = child<DesktopInputField>(card, "passwordField");
    EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    EXPECT_EQ(password->placeholderText(), QString(8, QChar(0x2022)));
    EXPECT_FALSE(email->placeholderText().isEmpty());
    auto* chip = child<DesktopStatusChip>(card, "requiredChip");
    EXPECT_EQ(chip->text(), QStringLiteral("Required"));
    EXPECT_EQ(chip->kind(), StatusPillKind::accent);
    EXPECT_FALSE(shown(card, child<QLabel>(card, "authStatus")));

    QTest::keyClicks(email, QString::fromLatin1(DesktopModelHarness::kEmail));
    QTest::keyClicks(password, QStringLiteral("wrong-password"));
    EXPECT_EQ(harness.model->email(), QString::fromLatin1(DesktopModelHarness::kEmail));
    EXPECT_EQ(harness.model->password(), QStringLiteral("wrong-password"));
    harness.model->setEmail(QStringLiteral("changed@example.com"));
    EXPECT_EQ(email->text(), QStringLiteral("changed@example.com"));
    harness.model->setEmail(QString::fromLatin1(DesktopModelHarness::kEmail));

    QTest::keyClick(password, Qt::Key_Return);
    QTest::keyClick(email, Qt::Key_Return);
    QTest::qWait(50);
    EXPECT_EQ(harness.backend.requestCount("POST", "/auth/v1/token"), 0u);

    // A failed sign-in reaches the card only through the model's status line.
    QTest::mouseClick(child<QWidget>(card, "loginButton"), Qt::LeftButton);
    auto* status = child<QLabel>(card, "authStatus");
    ASSERT_TRUE(waitUntil([&] { return shown(card, status); }));
    EXPECT_EQ(status->text(), harness.model->authStatus());
    EXPECT_FALSE(status->text().isEmpty());

    // A successful one; the model clears the password and the field follows.
    password->clear();
    QTest::keyClicks(password, QString::fromLatin1(DesktopModelHarness::kPassword));
    QTest::mouseClick(child<QWidget>(card, "loginButton"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return harness.model->currentUser().has_value(); }));
    EXPECT_EQ(password->text(), harness.model->password());
}

TEST(DesktopAuthCardTest, CreateAccountCallsSignUp) {
    DesktopModelHarness harness;
    DesktopAuthCard card(*harness.model);
    card.show();
    QTest::keyClicks(child<QWidget>(card, "emailField"), QStringLiteral("new@example.com"));
    QTest::keyClicks(child<QWidget>(card, "passwordField"), QStringLiteral("long-enough"));
    QTest::mouseClick(child<QWidget>(card, "signupButton"), Qt::LeftButton);
    EXPECT_TRUE(waitUntil([&] { return harness.backend.requestCount("POST", "/auth/v1/signup") == 1; }));
    EXPECT_TRUE(waitUntil([&] { return harness.backend.userId("new@example.com").has_value(); }));
}

}  // namespace
}  // namespace tarnwell
