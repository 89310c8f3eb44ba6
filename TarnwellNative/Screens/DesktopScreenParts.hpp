// Small pieces the three screens share: styled labels and the box that lists
// chosen folders.
#pragma once

#include "ViewKit/DesktopSurface.hpp"

#include <QLabel>
#include <QPointer>
#include <QStringList>
#include <QWidget>

class QVBoxLayout;
class QLayout;

namespace tarnwell {

class DesktopAppModel;

namespace screen_parts {

// A wrapping label showing `text` verbatim.
QLabel* label(const QString& text, const QFont& font, const QColor& colour);
// A black-weight headline with letters drawn closer by `tracking` pixels.
QLabel* headline(const QString& text, int pixelSize, qreal tracking);
// A widget holding `layout` with no margins of its own.
QWidget* holder(QLayout* layout);
// Deletes every item of `layout`, widgets included.
void clear(QLayout* layout);
// The panel a screen shows in place of its content while nobody is signed
// in: kicker, headline and sentence, added to `screen`; returns the panel's
// column for anything more.
QVBoxLayout* signedOutPanel(QVBoxLayout* screen, const QString& kicker, const QString& title,
                            const QString& sentence);

} // namespace screen_parts

// The bordered box of chosen folders: one row per folder (its label and a
// folder symbol, monospaced), rules between the rows.
class DesktopFolderBox : public DesktopInnerBox {
    Q_OBJECT
public:
    // At most `maxRows` folders are listed (negative: all), each label on at
    // most `maxLines` lines; `selectable` lets the user select and copy them.
    DesktopFolderBox(DesktopAppModel& model, int maxRows, int maxLines, bool selectable, QWidget* parent = nullptr);

    // Rebuilds the rows when the folders differ from those shown.
    void setFolders(const QStringList& folders);
    QStringList shownFolders() const { return shown_; }
    int ruleCount() const { return rules_; }

private:
    QPointer<DesktopAppModel> model_;
    int maxRows_;
    int maxLines_;
    bool selectable_;
    QVBoxLayout* rows_;
    QStringList shown_;
    int rules_ = 0;
    bool built_ = false;
};

} // namespace tarnwell
