// The row-or-column flow layout, the adaptive grid and the console's list
// model, each on its own.
#include <QSignalSpy>
#include <gtest/gtest.h>
#include <QWidget>

#include "ViewKit/DesktopAdaptiveGridLayout.hpp"
#include "ViewKit/DesktopLogLinesModel.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "ViewKit/FlowLayout.hpp"

namespace tarnwell {
namespace {

QStringList numbered(int from, int to) {
    QStringList lines;
    for (int i = from; i <= to; ++i) {
        lines.append(QStringLiteral("line %1").arg(i));
    }
    return lines;
}

TEST(FlowLayoutTest, OneRowWhenItFitsElseOneRightAlignedColumn) {
    QWidget host;
    auto* flow = new FlowLayout(10, &host);
    std::vector<DesktopStatusChip*> chips{new DesktopStatusChip(QStringLiteral("Running"), StatusPillKind::ok),
                                          new DesktopStatusChip(QStringLiteral("Ingestion: Idle"), StatusPillKind::muted),
                                          new DesktopStatusChip(QStringLiteral("Go"), StatusPillKind::accent)};
    for (auto* chip : chips) {
        flow->addWidget(chip);
    }
    const int row = flow->rowWidth();
    EXPECT_EQ(row, chips[0]->sizeHint().width() + chips[1]->sizeHint().width() + chips[2]->sizeHint().width() + 20);

    flow->setGeometry(QRect(0, 0, row, 100));
    for (std::size_t i = 1; i < chips.size(); ++i) {
        EXPECT_EQ(chips[i]->geometry().center().y(), chips[0]->geometry().center().y());
        EXPECT_EQ(chips[i]->geometry().left(), chips[i - 1]->geometry().right() + 1 + 10);
    }
    EXPECT_EQ(flow->heightForWidth(row), 34);

    // One pixel short: a column, right edges lined up, 10 apart, nothing wrapped.
    flow->setGeometry(QRect(0, 0, row - 1, 200));
    for (std::size_t i = 1; i < chips.size(); ++i) {
        EXPECT_EQ(chips[i]->geometry().right(), row - 2);
        EXPECT_EQ(chips[i]->geometry().top(), chips[i - 1]->geometry().bottom() + 1 + 10);
    }
    EXPECT_EQ(flow->heightForWidth(row - 1), 3 * 34 + 2 * 10);

    // Hidden items take no room.
    chips[2]->hide();
    EXPECT_EQ(flow->rowWidth(), row - chips[2]->sizeHint().width() - 10);
}

TEST(DesktopAdaptiveGridLayoutTest, AsManyColumnsOfTheMinimumAsFit) {
    QWidget host;
    auto* grid = new DesktopAdaptiveGridLayout(180, 14, &host);
    std::vector<QWidget*> tiles;
    for (int i = 0; i < 4; ++i) {
        auto* tile = new QWidget;
        tile->setMinimumHeight(50 + 10 * i);
        tiles.push_back(tile);
        grid->addWidget(tile);
    }
    EXPECT_EQ(grid->columnCount(100), 1);
    EXPECT_EQ(grid->columnCount(373), 1);
    EXPECT_EQ(grid->columnCount(374), 2);
    EXPECT_EQ(grid->columnCount(800), 4);

    grid->setGeometry(QRect(0, 0, 400, 500));
    // Two columns sharing the width; rows as tall as their tallest tile.
    EXPECT_EQ(tiles[0]->geometry(), QRect(0, 0, 193, 60));
    EXPECT_EQ(tiles[1]->geometry().left(), 207);
    EXPECT_EQ(tiles[2]->geometry().top(), 60 + 14);
    EXPECT_EQ(grid->heightForWidth(400), 60 + 14 + 80);
    EXPECT_EQ(grid->heightForWidth(800), 80);
}

TEST(DesktopLogLinesModelTest, AddsAndRemovesRowsInsteadOfRebuilding) {
    DesktopLogLinesModel model;
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);

    model.setLog(numbered(1, 3));
    model.setLog(numbered(1, 5));
    ASSERT_EQ(inserted.size(), 2);
    EXPECT_EQ(inserted.at(1).at(1).toInt(), 3);
    EXPECT_EQ(inserted.at(1).at(2).toInt(), 4);

    // The buffer rolls: the oldest line leaves the top, a new one arrives.
    model.setLog(numbered(2, 6));
    ASSERT_EQ(removed.size(), 1);
    EXPECT_EQ(removed.at(0).at(1).toInt(), 0);
    EXPECT_EQ(removed.at(0).at(2).toInt(), 0);
    EXPECT_EQ(inserted.size(), 3);
    EXPECT_EQ(model.lines(), numbered(2, 6));

    // Equal lines repeat as rows of their own.
    model.setLog({QStringLiteral("same"), QStringLiteral("same")});
    EXPECT_EQ(model.rowCount(), 2);
    model.setLog({});
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(reset.size(), 0);
}

TEST(DesktopLogLinesModelTest, LimitKeepsTheNewestLinesOldestFirst) {
    DesktopLogLinesModel tail(8);
    tail.setLog(numbered(1, 20));
    EXPECT_EQ(tail.lines(), numbered(13, 20));
    QSignalSpy removed(&tail, &QAbstractItemModel::rowsRemoved);
    QSignalSpy inserted(&tail, &QAbstractItemModel::rowsInserted);
    tail.setLog(numbered(1, 21));
    EXPECT_EQ(tail.lines(), numbered(14, 21));
    EXPECT_EQ(removed.size(), 1);
    EXPECT_EQ(inserted.size(), 1);

    DesktopLogLinesModel few(8);
    few.setLog(numbered(1, 5));
    EXPECT_EQ(few.lines(), numbered(1, 5));

    DesktopLogLinesModel none(0);
    none.setLog(numbered(1, 5));
    EXPECT_EQ(none.rowCount(), 0);
}

}  // namespace
}  // namespace tarnwell
