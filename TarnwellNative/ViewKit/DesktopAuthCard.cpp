#include "ViewKit/DesktopAuthCard.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "Model/DesktopAppModel.hpp"
#include "ViewKit/DesktopButton.hpp"
#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopInputField.hpp"
#include "ViewKit/DesktopKicker.hpp"
#include "ViewKit/DesktopModelObserver.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopStatusChip.hpp"
#include "ViewKit/DesktopSurface.hpp"

namespace tarnwell {

namespace {
QWidget* fieldColumn(const QString& title, DesktopInputField* field) {
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(new DesktopKicker(title));
    layout->addWidget(field);
    return column;
}

// Shows `value` in `field` unless it is already there, keeping the caret.
void showText(DesktopInputField* field, const QString& value) {
    if (field->text() != value) {
        field->setText(value);
    }
}
}  // namespace

DesktopAuthCard::DesktopAuthCard(DesktopAppModel& model, QWidget* parent) : QWidget(parent), model_(&model) {
    auto* layout = DesktopSurface::fillCard(this, 18);

    // Header row: the heading and the chip on one baseline; the stack's 12
    // on each side of a spacer of at least 8 keep them 32 apart.
    auto* heading = new QVBoxLayout;
    heading->setSpacing(8);
    auto* kicker = new DesktopKicker(QStringLiteral("Local auth"));
    heading->addWidget(kicker);
    auto* title = new QLabel(tr("Sign in on this computer"));
    title->setObjectName(QStringLiteral("authTitle"));
    QFont titleFont = DesktopFonts::system(30, QFont::Black);
    titleFont.setLetterSpacing(QFont::AbsoluteSpacing, -0.8);
    title->setFont(titleFont);
    title->setWordWrap(true);
    heading->addWidget(title);
    auto* sentence =
        new QLabel(tr("Connect the native agent to your QV account before choosing folders to keep in sync."));
    styleLabel(sentence, DesktopFonts::system(15, QFont::Normal), DesktopPalette::muted());
    heading->addWidget(sentence);
    auto* chip = new DesktopStatusChip(QStringLiteral("Required"), StatusPillKind::accent);
    chip->setObjectName(QStringLiteral("requiredChip"));
    layout->addLayout(firstBaselineRow(heading, kicker->firstBaseline(), chip, chip->firstBaseline(), 12 + 8 + 12));

    // Fields.
    auto* fields = new QHBoxLayout;
    fields->setSpacing(14);
    email_ = new DesktopInputField;
    email_->setObjectName(QStringLiteral("emailField"));
    email_->setPlaceholderText(tr("you@example.com"));
    email_->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase);
    password_ = new DesktopInputField;
    password_->setObjectName(QStringLiteral("passwordField"));
    password_->setPlaceholderText(tr("••••••••"));
    password_->setEchoMode(QLineEdit::Password);
    password_->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    fields->addWidget(fieldColumn(QStringLiteral("Email"), email_), 1, Qt::AlignTop);
    fields->addWidget(fieldColumn(QStringLiteral("Password"), password_), 1, Qt::AlignTop);
    layout->addLayout(fields);

    // Actions.
    auto* actions = new QHBoxLayout;
    actions->setSpacing(10);
    login_ = new DesktopButton(tr("Log in"), DesktopButton::Style::primary);
    login_->setObjectName(QStringLiteral("loginButton"));
    signup_ = new DesktopButton(tr("Create account"), DesktopButton::Style::secondary);
    signup_->setObjectName(QStringLiteral("signupButton"));
    status_ = new QLabel;
    status_->setObjectName(QStringLiteral("authStatus"));
    styleLabel(status_, DesktopFonts::system(14, QFont::Medium), DesktopPalette::muted());
    status_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    actions->addWidget(login_, 0, Qt::AlignVCenter);
    actions->addWidget(signup_, 0, Qt::AlignVCenter);
    actions->addWidget(status_, 1, Qt::AlignVCenter);
    actions->addStretch(0);
    layout->addLayout(actions);

    // Typing writes the model at once; the model's own changes reach the
    // fields at once too (a cleared password empties its field).
    connect(email_, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (model_) {
            model_->setEmail(text);
        }
    });
    connect(password_, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (model_) {
            model_->setPassword(text);
        }
    });
    connect(&model, &DesktopAppModel::emailChanged, this, [this] { showText(email_, model_->email()); });
    connect(&model, &DesktopAppModel::passwordChanged, this,
            [this] { showText(password_, model_->password()); });

    connect(login_, &QAbstractButton::clicked, this, [this] {
        if (model_) {
            (void)model_->login();
        }
    });
    connect(signup_, &QAbstractButton::clicked, this, [this] {
        if (model_) {
            (void)model_->signup();
        }
    });

    observer_ = new DesktopModelObserver([this] { refresh(); }, this);
    observer_->watch(&model, &DesktopAppModel::authStatusChanged);
    showText(email_, model.email());
    showText(password_, model.password());
    refresh();
}

void DesktopAuthCard::refreshNow() { observer_->flush(); }

void DesktopAuthCard::refresh() {
    if (!model_) {
        return;
    }
    const QString status = model_->authStatus();
    status_->setText(status);
    status_->setVisible(!status.isEmpty());
}

}  // namespace tarnwell
