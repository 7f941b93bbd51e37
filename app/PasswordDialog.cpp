#include "app/PasswordDialog.h"

#include "app/TextCodec.h"
#include "monitor/MonitorTexts.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quenlo::app {

namespace {

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

// Overwrites the field's text before the widget lets it go; QString keeps its own copies
// elsewhere only while we hold them.
void ClearField(QLineEdit& field)
{
    field.setText(QString(field.text().size(), QLatin1Char(' ')));
    field.clear();
}

}  // namespace

std::optional<PasswordAnswer> AskPasswordDialog(const PasswordQuestion& question, QWidget* parent)
{
    QDialog box(parent);
    box.setObjectName(QStringLiteral("QuenloPasswordDialog"));
    box.setWindowTitle(Text(texts::kPasswordTitle));
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);

    auto* layout = new QVBoxLayout(&box);
    auto* form = new QFormLayout;
    form->addRow(Text(texts::kPasswordServer), new QLabel(IsolatedForDisplay(question.server)));
    form->addRow(Text(texts::kPasswordUser), new QLabel(IsolatedForDisplay(question.user)));
    auto* field = new QLineEdit;
    field->setObjectName(QStringLiteral("password"));
    field->setEchoMode(QLineEdit::Password);
    form->addRow(Text(texts::kPasswordField), field);
    layout->addLayout(form);

    QCheckBox* remember = nullptr;
    if (question.noStore.empty()) {
        remember = new QCheckBox(Text(texts::kPasswordRemember));
        remember->setObjectName(QStringLiteral("remember"));
        remember->setChecked(true);
        layout->addWidget(remember);
    } else {
        auto* note = new QLabel(Text(texts::kPasswordNotRemembered) + DecodeForDisplay(question.noStore));
        note->setObjectName(QStringLiteral("notRemembered"));
        note->setWordWrap(true);
        layout->addWidget(note);
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setText(Text(texts::kPasswordOk));
    buttons->button(QDialogButtonBox::Cancel)->setText(Text(texts::kPasswordCancel));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &box, &QDialog::reject);
    layout->addWidget(buttons);
    field->setFocus();

    const bool accepted = box.exec() == QDialog::Accepted;
    std::optional<PasswordAnswer> answer;
    if (accepted) {
        QByteArray typed = field->text().toUtf8();
        answer = PasswordAnswer{std::string(typed.constData(), static_cast<std::size_t>(typed.size())),
                                remember != nullptr && remember->isChecked()};
        typed.fill('\0');
    }
    ClearField(*field);
    return answer;
}

}  // namespace quenlo::app
