// The live log console: a title, a sentence and a Live/Idle chip above a box
// that lists the model's log lines (or the newest `lineLimit` of them) in a
// monospaced font, oldest first. The box keeps its scroll position as lines
// arrive and starts at the top. The text of the lines can be selected and
// copied (Ctrl+C or the context menu).
#pragma once

#include <QPointer>
#include <QWidget>
#include <optional>

#include "ViewKit/DesktopConsoleView.hpp"

class QLabel;
class QStackedLayout;

namespace tarnwell {

class DesktopAppModel;
class DesktopModelObserver;
class DesktopStatusChip;

class DesktopActivityConsoleCard : public QWidget {
    Q_OBJECT
public:
    static constexpr int kDefaultMinimumHeight = 260;

    explicit DesktopActivityConsoleCard(DesktopAppModel& model,
                                        const QString& title = QStringLiteral("Activity stream"),
                                        int minimumHeight = kDefaultMinimumHeight,
                                        std::optional<int> lineLimit = std::nullopt, QWidget* parent = nullptr);

    // The scrolling list of lines.
    DesktopConsoleView* listView() const { return list_; }
    DesktopLogLinesModel* lines() const { return lines_; }
    // The box that holds the list (at least the minimum height tall).
    QWidget* consoleBox() const { return box_; }
    bool showsEmptyText() const;

    void refreshNow();

private:
    void refresh();

    QPointer<DesktopAppModel> model_;
    DesktopStatusChip* chip_;
    QWidget* box_;
    QStackedLayout* stack_;
    QLabel* empty_;
    DesktopConsoleView* list_;
    DesktopLogLinesModel* lines_;
    DesktopModelObserver* observer_;
};

}  // namespace tarnwell
